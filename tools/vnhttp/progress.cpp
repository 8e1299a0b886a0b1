// The progress display of vnhttp (see progress.h). Main thread only.
#include "progress.h"

#include <inttypes.h>

namespace vnhttp {
namespace {

const uint64_t kRedrawMs = 100;       // at most 10 redraws a second
const uint64_t kRateWindowMs = 3000;  // the rate follows the last three seconds
const int kBarWidth = 24;

// "[=====>      ] " with `filled` of kBarWidth cells done.
std::string Bar(int filled) {
    std::string bar = "[";
    for (int i = 0; i < kBarWidth; ++i) {
        bar += i < filled ? '=' : (i == filled ? '>' : ' ');
    }
    return bar + "] ";
}

// "3.0 MiB in 1.25 s (2.4 MiB/s)": bytes moved in ms, with their average rate.
std::string Moved(uint64_t ms, uint64_t bytes) {
    uint64_t average = ms > 0 ? bytes * 1000 / ms : 0;
    char seconds[32];
    snprintf(seconds, sizeof(seconds), "%.2f", static_cast<double>(ms) / 1000.0);
    return ProgressMeter::FormatBytes(bytes) + " in " + seconds + " s (" +
           ProgressMeter::FormatBytes(average) + "/s)";
}

}  // namespace

ProgressMeter::ProgressMeter(Mode mode, FILE* out, uint64_t lineIntervalMs)
    : m_mode(mode), m_out(out), m_lineIntervalMs(lineIntervalMs) {}

std::string ProgressMeter::FormatBytes(uint64_t bytes) {
    static const char* const kUnits[] = {"KiB", "MiB", "GiB", "TiB"};
    char text[32];
    if (bytes < 1024) {
        snprintf(text, sizeof(text), "%" PRIu64 " B", bytes);
        return text;
    }
    double value = static_cast<double>(bytes) / 1024.0;
    int unit = 0;
    while (value >= 1024.0 && unit < 3) {
        value /= 1024.0;
        ++unit;
    }
    snprintf(text, sizeof(text), value < 10.0 && unit >= 2 ? "%.2f %s" : "%.1f %s", value,
             kUnits[unit]);
    return text;
}

std::string ProgressMeter::FormatDuration(uint64_t seconds, bool known) {
    if (!known) return "--:--";
    char text[32];
    if (seconds >= 3600) {
        snprintf(text, sizeof(text), "%" PRIu64 ":%02u:%02u", seconds / 3600,
                 static_cast<unsigned>(seconds / 60 % 60), static_cast<unsigned>(seconds % 60));
    } else {
        snprintf(text, sizeof(text), "%u:%02u", static_cast<unsigned>(seconds / 60),
                 static_cast<unsigned>(seconds % 60));
    }
    return text;
}

std::string ProgressMeter::Describe(uint64_t done, uint64_t total, uint64_t bytesPerSecond,
                                    bool withBar, bool withTimeLeft) const {
    std::string text;
    bool knownTotal = total > 0 && done <= total;
    if (knownTotal) {
        unsigned percent = static_cast<unsigned>(done * 100 / total);
        char head[16];
        snprintf(head, sizeof(head), "%3u%% ", percent);
        text += head;
        if (withBar) text += Bar(static_cast<int>(done * kBarWidth / total));
        text += FormatBytes(done) + " / " + FormatBytes(total);
    } else {
        text += FormatBytes(done);
    }
    text += "  " + FormatBytes(bytesPerSecond) + "/s";
    if (knownTotal && withTimeLeft) {
        bool etaKnown = bytesPerSecond > 0;
        uint64_t left = etaKnown ? (total - done + bytesPerSecond - 1) / bytesPerSecond : 0;
        text += "  " + FormatDuration(left, etaKnown) + " left";
    }
    return text;
}

std::string ProgressMeter::DescribeBatch(uint64_t bytes, unsigned succeeded, unsigned failed,
                                         unsigned running, unsigned total,
                                         uint64_t bytesPerSecond) {
    unsigned finished = succeeded + failed;
    std::string text =
        Bar(total > 0 ? static_cast<int>(uint64_t{finished} * kBarWidth / total) : 0) +
        std::to_string(finished) + "/" + std::to_string(total) + " files";
    if (failed > 0) text += ", " + std::to_string(failed) + " failed";
    if (running > 0) text += ", " + std::to_string(running) + " running";
    text += "  " + FormatBytes(bytes) + "  " + FormatBytes(bytesPerSecond) + "/s";
    return text;
}

uint64_t ProgressMeter::Rate(uint64_t nowMs, uint64_t done) {
    if (m_samples.empty() || m_samples.back().first != nowMs) m_samples.emplace_back(nowMs, done);
    while (m_samples.size() > 2 && nowMs - m_samples[1].first >= kRateWindowMs) {
        m_samples.pop_front();
    }
    const auto& oldest = m_samples.front();
    uint64_t ms = nowMs - oldest.first;
    if (ms == 0 || done < oldest.second) return 0;
    return (done - oldest.second) * 1000 / ms;
}

void ProgressMeter::Begin(uint64_t nowMs) {
    m_started = true;
    m_startMs = nowMs;
    m_lastDrawMs = nowMs;
}

void ProgressMeter::Update(uint64_t nowMs, uint64_t done, uint64_t total) {
    if (!m_started) Begin(nowMs);
    uint64_t rate = Rate(nowMs, done);
    if (m_mode == kTerminal) {
        if (nowMs - m_lastDrawMs < kRedrawMs && m_lastDrawnDone != UINT64_MAX) return;
        if (done == m_lastDrawnDone) return;
        Redraw(nowMs, Describe(done, total, rate, true));
        m_lastDrawnDone = done;
    } else if (m_mode == kLines) {
        if (nowMs - m_lastDrawMs < m_lineIntervalMs) return;
        fprintf(m_out, "vnhttp: %s\n", Describe(done, total, rate, false).c_str());
        fflush(m_out);
        m_lastDrawMs = nowMs;
    }
}

void ProgressMeter::Redraw(uint64_t nowMs, const std::string& text) {
    std::string line = text;
    if (line.size() < m_lastWidth) line.append(m_lastWidth - line.size(), ' ');
    fprintf(m_out, "\r%s", line.c_str());
    fflush(m_out);
    m_lastWidth = text.size();
    m_lastDrawMs = nowMs;
}

void ProgressMeter::UpdateBatch(uint64_t nowMs, uint64_t bytes, unsigned succeeded, unsigned failed,
                                unsigned running, unsigned total) {
    if (!m_started) Begin(nowMs);
    uint64_t rate = Rate(nowMs, bytes);
    if (m_mode != kTerminal) return;
    if (nowMs - m_lastDrawMs < kRedrawMs && !m_lastBatchLine.empty()) return;
    std::string line = DescribeBatch(bytes, succeeded, failed, running, total, rate);
    if (line == m_lastBatchLine) return;
    Redraw(nowMs, line);
    m_lastBatchLine = line;
}

void ProgressMeter::Note(const std::string& line) {
    if (m_mode == kTerminal && m_lastWidth > 0) {
        // Over the progress line, which the next update draws again below this one.
        std::string wiped = line;
        if (wiped.size() < m_lastWidth) wiped.append(m_lastWidth - wiped.size(), ' ');
        fprintf(m_out, "\r%s\n", wiped.c_str());
        m_lastWidth = 0;
        m_lastBatchLine.clear();
    } else {
        fprintf(m_out, "%s\n", line.c_str());
    }
    fflush(m_out);
}

std::string ProgressMeter::BatchSummary(uint64_t ms, uint64_t bytes, unsigned succeeded,
                                        unsigned failed, unsigned total) {
    auto files = [](unsigned n) { return std::to_string(n) + (n == 1 ? " file" : " files"); };
    std::string text;
    if (succeeded == total) {
        text = "done, " + files(total);
    } else {
        text = succeeded + failed < total ? "stopped, " : "";
        text += std::to_string(succeeded) + " of " + files(total) + " done";
        if (failed > 0) text += ", " + std::to_string(failed) + " failed";
    }
    return text + ", " + Moved(ms, bytes);
}

void ProgressMeter::FinishBatch(uint64_t nowMs, uint64_t bytes, unsigned succeeded, unsigned failed,
                                unsigned total) {
    if (m_mode == kSilent) return;
    if (!m_started) Begin(nowMs);
    uint64_t ms = nowMs - m_startMs;
    if (m_mode == kTerminal) {
        uint64_t average = ms > 0 ? bytes * 1000 / ms : 0;
        Redraw(nowMs, DescribeBatch(bytes, succeeded, failed, 0, total, average));
        fputc('\n', m_out);
    }
    fprintf(m_out, "vnhttp: %s\n", BatchSummary(ms, bytes, succeeded, failed, total).c_str());
    fflush(m_out);
}

std::string ProgressMeter::Summary(uint64_t ms, uint64_t moved, bool ok, uint64_t wire) {
    std::string text = (ok ? "done, " : "stopped after ") + Moved(ms, moved);
    if (wire != 0) text += ", " + FormatBytes(wire) + " on the wire";
    return text;
}

void ProgressMeter::Finish(uint64_t nowMs, uint64_t done, uint64_t total, uint64_t moved, bool ok,
                           uint64_t wire) {
    if (m_mode == kSilent) return;
    if (!m_started) Begin(nowMs);
    uint64_t ms = nowMs - m_startMs;
    uint64_t average = ms > 0 ? moved * 1000 / ms : 0;
    if (m_mode == kTerminal) {
        Redraw(nowMs, Describe(done, ok && total == 0 ? done : total, average, true, false));
        fputc('\n', m_out);
    }
    fprintf(m_out, "vnhttp: %s\n", Summary(ms, moved, ok, wire).c_str());
    fflush(m_out);
}

}  // namespace vnhttp
