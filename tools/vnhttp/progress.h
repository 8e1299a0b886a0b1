// The progress display of `vnhttp get` and `vnhttp post` on standard error: a bar redrawn
// in place (percent, bytes, rate, time left) when the stream is a terminal, plain lines
// every few seconds otherwise, nothing when silenced. A run of several transfers has one
// line for all of them on a terminal and only its summary otherwise. Owned and driven by
// the main thread; the caller passes the clock, so the output is a pure function of the
// updates.
#pragma once

#include <stdint.h>
#include <stdio.h>

#include <deque>
#include <string>
#include <utility>

namespace vnhttp {

class ProgressMeter {
public:
    enum Mode { kSilent, kTerminal, kLines };
    // Terminal redraws come at most every 100 ms, plain lines every lineIntervalMs.
    ProgressMeter(Mode mode, FILE* out, uint64_t lineIntervalMs = 2000);

    // The transfer starts now: rates and the summary count from here.
    void Begin(uint64_t nowMs);
    // done: bytes so far (a resumed download counts what it started with); total: 0 when
    // unknown. Draws when a redraw or a line is due.
    void Update(uint64_t nowMs, uint64_t done, uint64_t total);
    // Draws the final state (terminal: a last redraw and a newline) and a summary line;
    // moved: the bytes this run transferred (a resumed download's new bytes); wire: the
    // bytes a coded (compressed) body took on the wire, named beside moved, 0 for none.
    void Finish(uint64_t nowMs, uint64_t done, uint64_t total, uint64_t moved, bool ok,
                uint64_t wire = 0);
    // The summary line without its line end: "done, 3.0 MiB in 1.25 s (2.4 MiB/s)", with
    // ", 612.0 KiB on the wire" when wire is not 0.
    static std::string Summary(uint64_t ms, uint64_t moved, bool ok, uint64_t wire);

    // Several transfers (get with several URLs). bytes: what all of them moved so far;
    // succeeded and failed: the transfers that ended. A terminal gets one line for all,
    // redrawn as Update's; plain lines would only repeat what the summary says, so there
    // are none.
    void UpdateBatch(uint64_t nowMs, uint64_t bytes, unsigned succeeded, unsigned failed,
                     unsigned running, unsigned total);
    // A line of its own while transfers run (why one failed), written in every mode; on a
    // terminal the progress line is wiped first and drawn again at the next update.
    void Note(const std::string& line);
    // The final line of a batch (terminal) and its summary; succeeded + failed < total when
    // the run was stopped before every transfer ended.
    void FinishBatch(uint64_t nowMs, uint64_t bytes, unsigned succeeded, unsigned failed,
                     unsigned total);
    // "done, 40 files, 10.0 MiB in 1.25 s (8.0 MiB/s)"; "39 of 40 files done, 1 failed, ...";
    // "stopped, 12 of 40 files done, ..." when some never ended.
    static std::string BatchSummary(uint64_t ms, uint64_t bytes, unsigned succeeded,
                                    unsigned failed, unsigned total);
    // The terminal line of a batch: a bar of the transfers ended, their count, those that
    // failed and those running (when any), the bytes and the rate.
    static std::string DescribeBatch(uint64_t bytes, unsigned succeeded, unsigned failed,
                                     unsigned running, unsigned total, uint64_t bytesPerSecond);

    // "512 B", "1.5 KiB", "64.0 MiB", "1.25 GiB".
    static std::string FormatBytes(uint64_t bytes);
    // "0:07", "12:34", "1:02:03"; "--:--" for an unknown time.
    static std::string FormatDuration(uint64_t seconds, bool known);
    // The text of one report, without line ends: bar (terminal only), percent, bytes, rate
    // and, while running, the time left.
    std::string Describe(uint64_t done, uint64_t total, uint64_t bytesPerSecond, bool withBar,
                         bool withTimeLeft = true) const;

private:
    // Bytes per second over the last few seconds of updates.
    uint64_t Rate(uint64_t nowMs, uint64_t done);
    // Redraws the terminal line in place, padded over a longer one drawn before.
    void Redraw(uint64_t nowMs, const std::string& line);

    Mode m_mode;
    FILE* m_out;
    uint64_t m_lineIntervalMs;
    bool m_started = false;
    uint64_t m_startMs = 0;
    uint64_t m_lastDrawMs = 0;
    uint64_t m_lastDrawnDone = UINT64_MAX;
    size_t m_lastWidth = 0;
    std::string m_lastBatchLine;  // the batch line on screen; empty after a Note
    std::deque<std::pair<uint64_t, uint64_t>> m_samples;  // (ms, done), oldest first
};

}  // namespace vnhttp
