// `vnhttp get` and `vnhttp post`: one request through the library's HTTP client, with the
// progress display, Ctrl-C handling and an exit status per result code. The client
// notifies on a task thread of the tool's own ("vnhttp"); the main thread waits for the
// completion, draws progress and watches for Ctrl-C.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace vnhttp {

struct TransferOptions {
    enum Kind { kGet, kPostData, kPostFile, kPostForm };
    Kind kind = kGet;
    std::string url;
    std::string outFile;  // get: empty writes the body to standard output
    bool resume = false;  // get -c
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
    std::string data;                                             // post --data
    std::string filePath;                                         // post --file
    std::vector<std::pair<std::string, std::string>> formFields;  // -F name=value
    std::string formFileField, formFilePath;                      // -F name=@path
};

// Runs the request; returns the exit status (0, a result code, kExitTimeout, ...). Prints
// the body (memory mode) to standard output and one line naming the cause of a failure to
// standard error.
int RunTransfer(const TransferOptions& options);

// Maps a client result code to the exit status and the line that names the cause.
// status: the HTTP status of the answer (0 when none was read); quietMs: how long nothing
// had happened when the request ended; timeoutMs: the configured time-out; tlsFailure:
// why the TLS handshake or the certificate was refused (result 11 only).
int ClassifyResult(unsigned code, unsigned status, const std::string& reason,
                   unsigned long long quietMs, unsigned long long timeoutMs,
                   const std::string& what, const std::string& tlsFailure, std::string* message);

}  // namespace vnhttp
