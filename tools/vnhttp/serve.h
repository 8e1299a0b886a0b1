// `vnhttp serve DIR`: serves the files below a directory through the library's embedded
// HTTP server (over TLS with --cert and --key), and with --upload stores multipart uploads
// there. The main thread sets the server up and waits for Ctrl-C; every request and
// completion is handled on the server's thread "HttpSvr".
#pragma once

#include <string>
#include <vector>

namespace vnhttp {

struct ServeOptions {
    std::string dir;
    unsigned short firstPort = 8000;
    unsigned short lastPort = 8099;
    // Where it listens: every address with bindAny, else the numeric addresses of bind
    // (either family), else 127.0.0.1 and ::1.
    bool bindAny = false;
    std::vector<std::string> bind;
    bool upload = false;
    // https when both are set: the PEM certificate chain (own certificate first) and key.
    std::string certFile;
    std::string keyFile;
    int libraryLogLevel = -1;
};

// Serves until SIGINT/SIGTERM; returns the exit status (0 after a clean stop).
int RunServe(const ServeOptions& options);

}  // namespace vnhttp
