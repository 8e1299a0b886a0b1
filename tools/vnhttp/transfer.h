// `vnhttp get` and `vnhttp post`: one request through the library's HTTP client (a
// download, a post or any other method), or a get of several URLs into files, one after
// another or several at once (-Z) on as many clients; with the progress display, Ctrl-C
// handling, an optional cookie store kept in a file (one for all the clients of a run), and
// an exit status per result code. The clients notify on one task thread of the tool's own
// ("vnhttp"); the main thread waits for the completions, draws progress and watches for
// Ctrl-C. Called on the main thread.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace vnhttp {

struct TransferOptions {
    // kRequest: any method (-X), with the body from `data` or, when filePath is set, from
    // that file; the answer goes where a get's would.
    enum Kind { kGet, kPostData, kPostFile, kPostForm, kRequest };
    Kind kind = kGet;
    std::string url;
    std::string method;       // kRequest: the method token
    std::string outFile;      // get and kRequest: empty writes the body to standard output
    bool resume = false;      // get -c
    bool compressed = false;  // ask for gzip/deflate and decode
    bool cookies = false;     // keep the cookies answers set for the rest of the run
    std::string cookieJar;    // ... loaded from and saved to this file (implies cookies)
    unsigned rateLimit = 0;   // bytes per second each way, 0 for none
    std::vector<std::pair<std::string, std::string>> headers;
    std::string proxy;  // http://[user:password@]host:port, socks5://... or socks5h://...
    std::vector<std::string> resolves;  // --resolve HOST:PORT:ADDR[,ADDR...] entries
    unsigned timeoutSeconds = 30;
    unsigned retries = 0;
    bool silent = false;
    int libraryLogLevel = -1;
    // https: authorities trusted besides the system's (a PEM file, a directory of them),
    // the public-key pins ("sha256//BASE64", one or several joined with ';' per entry), and
    // whether certificates are checked at all (pins apply either way).
    std::string caFile;
    std::string caPath;
    std::vector<std::string> pins;
    bool verify = true;
    std::string data;                                             // post/kRequest --data
    std::string filePath;                                         // post/kRequest --file
    std::vector<std::pair<std::string, std::string>> formFields;  // -F name=value
    std::string formFileField, formFilePath;                      // -F name=@path
};

// Runs the request; returns the exit status (0, a result code, kExitTimeout, ...). Prints
// the body (memory mode) to standard output and one line naming the cause of a failure to
// standard error.
int RunTransfer(const TransferOptions& options);

// Several URLs fetched into files with the options of base (its url and outFile unused):
// urls[i] is written to outFiles[i], at most `parallel` at once (1: one after another), the
// next starting as one ends, on the client that just became free (and its kept connection).
// Every transfer is tried whatever the others do, until Ctrl-C.
// Returns 0 when all succeeded, else the exit status of the first that failed (in the order
// they failed); kExitInterrupted after Ctrl-C. One line names the cause of each failure.
int RunTransfers(const TransferOptions& base, const std::vector<std::string>& urls,
                 const std::vector<std::string>& outFiles, unsigned parallel);

// Maps a client result code to the exit status and the line that names the cause.
// status: the HTTP status of the answer (0 when none was read); quietMs: how long nothing
// had happened when the request ended; timeoutMs: the configured time-out; tlsFailure:
// why the TLS handshake or the certificate was refused (result 11 only).
int ClassifyResult(unsigned code, unsigned status, const std::string& reason,
                   unsigned long long quietMs, unsigned long long timeoutMs,
                   const std::string& what, const std::string& tlsFailure, std::string* message);

}  // namespace vnhttp
