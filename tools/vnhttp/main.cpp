// vnhttp: a command-line file transfer tool on vnbase. `get` and `post` drive the
// library's HTTP client, `serve` its embedded HTTP server, `md5` its MD5. This file reads
// the command line and dispatches; the commands live in transfer.cpp and serve.cpp.
// Main thread only.
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

#include <initializer_list>
#include <string>
#include <vector>

#include "args.h"
#include "runtime.h"
#include "serve.h"
#include "transfer.h"
#include "crypto/vnmd5.h"
#include "io/vnfile.h"
#include "net/vnnet.h"

namespace vnhttp {
namespace {

const char kUsage[] =
    "usage: vnhttp COMMAND [OPTIONS] ...\n"
    "\n"
    "  get URL [-o FILE | -O] [-c] ...     download (to standard output without -o/-O)\n"
    "  get URL... -O [--output-dir DIR] [-Z [--parallel-max N]] ...\n"
    "                                      several downloads, one after another or at once\n"
    "  get URL -X METHOD [--data TEXT | --file PATH] ...\n"
    "                                      any other method (HEAD, PUT, DELETE, ...)\n"
    "  post URL --data TEXT | --file PATH | -F name=value | -F name=@path ...\n"
    "  serve DIR [--port N | --ports A-B] [--bind ADDR... | --bind-any] [--upload]\n"
    "            [--cert FILE --key FILE]\n"
    "  md5 FILE...                         MD5 of files, computed by the library\n"
    "\n"
    "  vnhttp COMMAND --help    options of one command\n"
    "  vnhttp --version\n";

const char kExitStatuses[] =
    "exit status (the library's result code where there is one):\n"
    "   0  success\n"
    "   1  not modified (HTTP 304)\n"
    "   2  failed: an error answer (4xx/5xx other than below), a malformed answer,\n"
    "      too many redirects or reconnects\n"
    "   3  unauthorized (HTTP 401/402), or closed before an answer\n"
    "   4  writing the output (or the --cookie-jar file) failed, or a decoded body\n"
    "      outgrew the memory kept for standard output\n"
    "   5  could not connect (refused or unreachable)\n"
    "   6  time-out (no connection or no data within --timeout)\n"
    "   7  not found (HTTP 404)\n"
    "   8  service unavailable (HTTP 503)\n"
    "  10  bad URL, or the file to upload is missing or empty\n"
    "  11  TLS failed: the handshake failed, or the server's certificate was refused\n"
    "      (unknown authority, expired, not for this host, no --pin matched)\n"
    "  64  bad command line (an unreadable --cacert or --cookie-jar file, a malformed\n"
    "      --pin or --resolve included)\n"
    "  70  the library could not be set up\n"
    " 130  interrupted (Ctrl-C)\n";

const char kCommonTransferHelp[] =
    "  --proxy URL        http://[user:password@]host:port (HTTP CONNECT),\n"
    "                     socks5://[user:password@]host:port (host names of URLs are\n"
    "                     resolved here) or socks5h://... (the proxy resolves them),\n"
    "                     through the library's process-wide proxy settings; an IPv6\n"
    "                     proxy address goes in brackets (socks5h://[::1]:1080)\n"
    "  --resolve HOST:PORT:ADDR[,ADDR...]\n"
    "                     requests to HOST on PORT connect to ADDR (numeric, IPv4 or\n"
    "                     IPv6; several are tried in turn) without asking the resolver;\n"
    "                     the URL still names HOST (Host header, certificate check).\n"
    "                     curl's form; repeatable\n"
    "  --timeout SECONDS  longest wait for a connection or for the next data (30)\n"
    "  --limit-rate RATE  at most RATE bytes per second each way; K, M, G: 1024 multiples\n"
    "  --compressed       ask for gzip or deflate and store the body decoded\n"
    "  --cookies          keep the cookies answers set and send them on (redirects too)\n"
    "  --cookie-jar FILE  --cookies, loaded from FILE and saved back to it (curl's format)\n"
    "  --retries N        reconnects after a data time-out (0)\n"
    "  -H 'Name: value'   an extra request header (repeatable)\n"
    "  -s, --silent       no progress display\n"
    "  -v, --verbose      the library's log lines on standard error\n"
    "\n"
    "https:// URLs are checked against the system's trusted authorities and the host name\n"
    "or IP address of the URL:\n"
    "  --cacert FILE      trust the authorities in the PEM file FILE as well\n"
    "  --capath DIR       ... and those in DIR, a directory of PEM files under their\n"
    "                     hash names (openssl rehash DIR)\n"
    "  --pin sha256//BASE64\n"
    "                     accept only a certificate carrying this public key (the\n"
    "                     Base64 SHA-256 of its DER SubjectPublicKeyInfo); repeatable,\n"
    "                     any one of them will do\n"
    "  -k, --insecure     do not check the certificate or its name (the pins still\n"
    "                     apply); the connection is then encrypted to whoever answers\n"
    "\n"
    "Progress goes to standard error: a bar redrawn in place (at most 10 times a\n"
    "second) on a terminal, a plain line every 2 seconds otherwise. http:// and\n"
    "https:// URLs, without user:password@; an IPv6 address goes in brackets\n"
    "(http://[::1]:8080/file).\n";

const char kGetHelp[] =
    "usage: vnhttp get URL [-o FILE | -O] [-c] [OPTIONS]\n"
    "       vnhttp get URL... (-O | --output-dir DIR) [-Z [--parallel-max N]] [-c] [OPTIONS]\n"
    "       vnhttp get URL -X METHOD [--data TEXT | --file PATH] [-o FILE | -O] [OPTIONS]\n"
    "\n"
    "Downloads URL. Without -o or -O the body is collected in memory (up to about\n"
    "97 MiB) and written to standard output.\n"
    "\n"
    "  -o, --output FILE  write the body to FILE (replaced unless -c)\n"
    "  -O, --remote-name  write it to the URL's file name in the current directory\n"
    "  --output-dir DIR   write it to the URL's file name in DIR instead (implies -O);\n"
    "                     DIR must exist, it is not created\n"
    "  -Z, --parallel     fetch several URLs at the same time, each on a connection\n"
    "                     (and a thread) of its own, the next starting as one ends\n"
    "  --parallel-max N   with -Z: at most N at once (1-300, default 50)\n"
    "  -c, --continue     resume: keep what FILE holds and ask for the rest (Range)\n"
    "  -X, --request METHOD\n"
    "                     send METHOD (HEAD, PUT, DELETE, PATCH, ...) instead of GET;\n"
    "                     any 2xx answer is a success, and its body is written as above\n"
    "  --data TEXT        with -X: TEXT as the body (as post sends it)\n"
    "  --file PATH        with -X: the file's bytes as the body (as post sends it)\n"
    "\n"
    "Several URLs go to files named after them (-O or --output-dir; never to standard\n"
    "output), one after another, or at once with -Z; every other option applies to each\n"
    "(the --cookies store is one for all, --limit-rate holds for each transfer). Two URLs\n"
    "with the same file name are refused before anything is fetched. Every URL is tried\n"
    "even when another fails; the exit status is that of the first failure. A terminal\n"
    "shows one progress line for all (files done of all, bytes, rate); otherwise a summary\n"
    "line comes at the end, after a line for each failure.\n";

const char kPostHelp[] =
    "usage: vnhttp post URL (--data TEXT | --file PATH | -F name=value ... [-F name=@path])\n"
    "                  [OPTIONS]\n"
    "\n"
    "Posts to URL and prints the answer body on standard output.\n"
    "\n"
    "  --data TEXT        TEXT as the body (application/x-www-form-urlencoded unless\n"
    "                     -H sets a Content-Type)\n"
    "  --file PATH        the file's bytes as the body (application/octet-stream)\n"
    "  -F name=value      a multipart/form-data field (repeatable)\n"
    "  -F name=@path      a multipart/form-data file part (at most one; it is sent after\n"
    "                     the fields)\n"
    "  -X, --request METHOD\n"
    "                     send the --data or --file body with METHOD (PUT, PATCH, ...)\n";

const char kServeHelp[] =
    "usage: vnhttp serve DIR [--port N | --ports A-B] [--bind ADDR... | --bind-any]\n"
    "                    [--upload] [--cert FILE --key FILE] [-v]\n"
    "\n"
    "Serves the files below DIR over HTTP (HTTPS with --cert and --key) and prints the\n"
    "URL it serves.\n"
    "  GET of a file answers it (a Range request gives 206), GET of a directory a small\n"
    "  HTML listing; anything else is answered 404. Paths are percent-decoded and kept\n"
    "  inside DIR: \"..\", absolute paths, encoded separators and symbolic links that lead\n"
    "  out of DIR are answered 403 and never opened.\n"
    "\n"
    "  --port N      listen on port N (0: a port of the kernel's choice)\n"
    "  --ports A-B   listen on the first free port of A..B (default 8000-8099)\n"
    "  --bind ADDR   listen on ADDR instead of loopback: a numeric IPv4 or IPv6 address\n"
    "                of this machine (::1 or [::1]; 0.0.0.0 and :: stand for every\n"
    "                address of their family). Repeatable: every ADDR gets the same\n"
    "                port. With an ADDR outside loopback every peer is answered. The\n"
    "                URL printed names 127.0.0.1 when it is among them, else the first.\n"
    "  --bind-any    listen on every address, IPv4 and IPv6, and answer every peer.\n"
    "                Without either, the server listens on loopback only: 127.0.0.1 and\n"
    "                ::1 (127.0.0.1 alone on a machine without IPv6), and a peer that\n"
    "                still comes from outside loopback is answered 403.\n"
    "  --upload      store multipart POSTs to / in DIR. The file must be the first (or\n"
    "                only) part; it is stored under its name reduced to a safe base name,\n"
    "                never overwriting: a numbered name (name-1.ext, ...) is taken instead.\n"
    "                The answer names the file stored.\n"
    "  --cert FILE   serve https: FILE holds the certificate chain (the server's own\n"
    "                certificate first, then the authorities that signed it), PEM\n"
    "  --key FILE    the private key of that certificate, PEM (only with --cert)\n"
    "  -v, --verbose the library's log lines on standard error\n"
    "\n"
    "One line per transfer on standard error: peer, request line, status, bytes, time,\n"
    "rate. Ctrl-C stops (exit status 0); 1 when DIR or the port is unusable or the\n"
    "certificate or key does not load (-v shows the library's reason), 64 for a bad\n"
    "command line.\n";

int Usage(const std::string& error) {
    fprintf(stderr, "vnhttp: %s\n(vnhttp --help for help)\n", error.c_str());
    return kExitUsage;
}

bool WantsHelp(int argc, char** argv) {
    for (int i = 2; i < argc; ++i) {
        if (strcmp(argv[i], "--help") == 0 || strcmp(argv[i], "-h") == 0) return true;
        if (strcmp(argv[i], "--") == 0) break;
    }
    return false;
}

const std::vector<OptionSpec> kTransferOptions = {
    {"proxy", 0, true},       {"timeout", 0, true},    {"retries", 0, true},
    {"header", 'H', true},    {"silent", 's', false},  {"verbose", 'v', false},
    {"cacert", 0, true},      {"capath", 0, true},     {"pin", 0, true},
    {"insecure", 'k', false}, {"resolve", 0, true},    {"compressed", 0, false},
    {"cookies", 0, false},    {"cookie-jar", 0, true}, {"limit-rate", 0, true},
};

// Options shared by get and post; false after printing the error. severalUrls: the
// command takes more than one URL (o->url is then the first).
bool ReadTransferOptions(const ParsedArgs& a, bool severalUrls, TransferOptions* o, int* status) {
    uint64_t n = 0;
    if (const std::string* v = a.Last("timeout")) {
        if (!ParseUnsigned(*v, 86400, &n) || n == 0) {
            *status = Usage("--timeout needs a number of seconds (1-86400)");
            return false;
        }
        o->timeoutSeconds = static_cast<unsigned>(n);
    }
    if (const std::string* v = a.Last("retries")) {
        if (!ParseUnsigned(*v, 100, &n)) {
            *status = Usage("--retries needs a number (0-100)");
            return false;
        }
        o->retries = static_cast<unsigned>(n);
    }
    if (const std::string* v = a.Last("proxy")) o->proxy = *v;
    for (const std::string& h : a.All("header")) {
        size_t colon = h.find(':');
        std::string name = h.substr(0, colon);
        if (colon == std::string::npos || name.empty() ||
            name.find_first_of(" \t\r\n") != std::string::npos) {
            *status = Usage("-H needs 'Name: value': " + h);
            return false;
        }
        std::string value = h.substr(colon + 1);
        size_t first = value.find_first_not_of(" \t");
        value = first == std::string::npos ? "" : value.substr(first);
        o->headers.emplace_back(name, value);
    }
    if (const std::string* v = a.Last("cacert")) o->caFile = *v;
    if (const std::string* v = a.Last("capath")) o->caPath = *v;
    for (const std::string& pin : a.All("pin")) {
        // The client skips empty entries of a list: "--pin ''" would quietly pin nothing.
        if (pin.empty() || pin.front() == ';' || pin.back() == ';' ||
            pin.find(";;") != std::string::npos) {
            *status = Usage("--pin needs sha256//BASE64 (several joined by ';'): '" + pin + "'");
            return false;
        }
        o->pins.push_back(pin);
    }
    // The library's own parser checks each entry when the client takes it.
    o->resolves = a.All("resolve");
    if (const std::string* v = a.Last("limit-rate")) {
        uint32_t rate = 0;
        if (!ParseRate(*v, &rate)) {
            std::string form = "bytes per second, K, M or G for 1024 multiples (500K, 2M)";
            *status = Usage("--limit-rate needs " + form + ": '" + *v + "'");
            return false;
        }
        o->rateLimit = rate;
    }
    o->compressed = a.Has("compressed");
    if (const std::string* v = a.Last("cookie-jar")) {
        if (v->empty()) {
            *status = Usage("--cookie-jar needs a file name");
            return false;
        }
        o->cookieJar = *v;
    }
    o->cookies = a.Has("cookies") || a.Has("cookie-jar");
    o->verify = !a.Has("insecure");
    o->silent = a.Has("silent");
    o->libraryLogLevel = a.Has("verbose") ? 4 : -1;
    if (a.positional.empty() || (a.positional.size() > 1 && !severalUrls)) {
        *status = Usage(severalUrls ? "a URL expected" : "one URL expected");
        return false;
    }
    o->url = a.positional[0];
    return true;
}

// The start both transfer commands share: --help, the common options with the command's
// own, and the URL. False with *status set when the command ends here.
bool ParseTransferCommand(int argc, char** argv, const char* help, bool severalUrls,
                          std::initializer_list<OptionSpec> own, ParsedArgs* a, TransferOptions* o,
                          int* status) {
    if (WantsHelp(argc, argv)) {
        printf("%s%s\n%s", help, kCommonTransferHelp, kExitStatuses);
        *status = 0;
        return false;
    }
    std::vector<OptionSpec> specs = kTransferOptions;
    specs.insert(specs.end(), own);
    std::string error;
    if (!ParseArgs(argc, argv, 2, specs, a, &error)) {
        *status = Usage(error);
        return false;
    }
    return ReadTransferOptions(*a, severalUrls, o, status);
}

// -X METHOD with a --data or --file body (at most one); 0, or the usage status.
int ReadMethodRequest(const ParsedArgs& a, TransferOptions* o) {
    const std::string& method = *a.Last("request");
    // The token goes into the request line as it is: nothing but token characters may.
    if (!IsMethodToken(method)) {
        return Usage("-X needs a method: letters, digits or !#$%&'*+-.^_`|~ only: '" + method +
                     "'");
    }
    if (a.Has("data") && a.Has("file")) return Usage("--data and --file exclude each other");
    o->kind = TransferOptions::kRequest;
    o->method = method;
    if (const std::string* v = a.Last("data")) o->data = *v;
    if (const std::string* v = a.Last("file")) {
        if (v->empty()) return Usage("--file needs a file name");
        o->filePath = *v;
    }
    return 0;
}

int CommandGet(int argc, char** argv) {
    ParsedArgs a;
    TransferOptions o;
    int status = 0;
    if (!ParseTransferCommand(argc, argv, kGetHelp, true,
                              {{"output", 'o', true},
                               {"remote-name", 'O', false},
                               {"continue", 'c', false},
                               {"request", 'X', true},
                               {"data", 0, true},
                               {"file", 0, true},
                               {"output-dir", 0, true},
                               {"parallel", 'Z', false},
                               {"parallel-max", 0, true}},
                              &a, &o, &status)) {
        return status;
    }
    if (a.Has("output") && a.Has("remote-name")) return Usage("-o and -O exclude each other");
    if (a.Has("output") && a.Has("output-dir")) {
        return Usage("-o and --output-dir exclude each other");
    }
    unsigned parallel = 1;
    if (const std::string* v = a.Last("parallel-max")) {
        uint64_t n = 0;
        if (!a.Has("parallel")) return Usage("--parallel-max goes with -Z");
        if (!ParseUnsigned(*v, kParallelLimit, &n) || n == 0) {
            return Usage("--parallel-max needs a number (1-" + std::to_string(kParallelLimit) +
                         "): '" + *v + "'");
        }
        parallel = static_cast<unsigned>(n);
    } else if (a.Has("parallel")) {
        parallel = kParallelDefault;
    }
    std::string dir;
    if (const std::string* v = a.Last("output-dir")) {
        struct stat st;
        if (v->empty()) return Usage("--output-dir needs a directory");
        if (stat(v->c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
            return Usage("--output-dir: not a directory: " + *v);
        }
        dir = *v;
    }
    bool named = a.Has("remote-name") || a.Has("output-dir");
    if (a.positional.size() > 1 && !named) {
        // Bodies one after another on standard output could not be told apart again.
        return Usage(std::string(a.Has("output") ? "-o names one file: " : "") +
                     "several URLs need -O or --output-dir (each is written to its file name)");
    }
    std::vector<std::string> outFiles;
    if (named) {
        std::string error;
        if (!OutputPathsForUrls(a.positional, dir, &outFiles, &error)) return Usage(error);
        o.outFile = outFiles[0];
    }
    if (const std::string* v = a.Last("output")) o.outFile = *v;
    o.resume = a.Has("continue");
    if (o.resume && o.outFile.empty()) return Usage("-c needs -o FILE or -O");
    if (a.Has("request")) {
        // A resumed body is appended to: only a plain GET asks for the rest of one.
        if (o.resume) return Usage("-c resumes plain downloads only, not -X");
        if (int usage = ReadMethodRequest(a, &o)) return usage;
    } else if (a.Has("data") || a.Has("file")) {
        return Usage("--data and --file need -X METHOD (or post)");
    }
    if (a.positional.size() > 1) return RunTransfers(o, a.positional, outFiles, parallel);
    return RunTransfer(o);
}

int CommandPost(int argc, char** argv) {
    ParsedArgs a;
    TransferOptions o;
    int status = 0;
    if (!ParseTransferCommand(
            argc, argv, kPostHelp, false,
            {{"data", 0, true}, {"file", 0, true}, {"form", 'F', true}, {"request", 'X', true}}, &a,
            &o, &status)) {
        return status;
    }
    int bodies = (a.Has("data") ? 1 : 0) + (a.Has("file") ? 1 : 0) + (a.Has("form") ? 1 : 0);
    if (bodies != 1) return Usage("give exactly one of --data, --file or -F");
    if (a.Has("request")) {
        // A form upload is a POST by its nature.
        if (a.Has("form")) return Usage("-X goes with --data or --file, not -F");
        if (int usage = ReadMethodRequest(a, &o)) return usage;
        return RunTransfer(o);
    }
    if (const std::string* v = a.Last("data")) {
        o.kind = TransferOptions::kPostData;
        o.data = *v;
    } else if (const std::string* v = a.Last("file")) {
        o.kind = TransferOptions::kPostFile;
        o.filePath = *v;
    } else {
        o.kind = TransferOptions::kPostForm;
        for (const std::string& f : a.All("form")) {
            size_t eq = f.find('=');
            if (eq == std::string::npos || eq == 0) return Usage("-F needs name=value: " + f);
            std::string name = f.substr(0, eq), value = f.substr(eq + 1);
            if (!value.empty() && value[0] == '@') {
                if (!o.formFilePath.empty()) return Usage("-F takes at most one file part");
                if (value.size() == 1) return Usage("-F name=@path needs a path");
                o.formFileField = name;
                o.formFilePath = value.substr(1);
            } else {
                o.formFields.emplace_back(name, value);
            }
        }
    }
    return RunTransfer(o);
}

bool ParsePortRange(const std::string& text, unsigned short* first, unsigned short* last) {
    size_t dash = text.find('-');
    uint64_t a = 0, b = 0;
    if (dash == std::string::npos || !ParseUnsigned(text.substr(0, dash), 65535, &a) ||
        !ParseUnsigned(text.substr(dash + 1), 65535, &b) || a > b) {
        return false;
    }
    *first = static_cast<unsigned short>(a);
    *last = static_cast<unsigned short>(b);
    return true;
}

int CommandServe(int argc, char** argv) {
    if (WantsHelp(argc, argv)) {
        printf("%s", kServeHelp);
        return 0;
    }
    std::vector<OptionSpec> specs = {
        {"port", 0, true},    {"ports", 0, true}, {"bind-any", 0, false}, {"bind", 0, true},
        {"upload", 0, false}, {"cert", 0, true},  {"key", 0, true},       {"verbose", 'v', false}};
    ParsedArgs a;
    std::string error;
    if (!ParseArgs(argc, argv, 2, specs, &a, &error)) return Usage(error);
    ServeOptions o;
    if (a.positional.size() != 1) return Usage("one directory expected");
    o.dir = a.positional[0];
    uint64_t port = 0;
    if (a.Has("port") && a.Has("ports")) return Usage("--port and --ports exclude each other");
    if (const std::string* v = a.Last("port")) {
        if (!ParseUnsigned(*v, 65535, &port)) return Usage("bad --port: " + *v);
        o.firstPort = o.lastPort = static_cast<unsigned short>(port);
    }
    if (const std::string* v = a.Last("ports")) {
        if (!ParsePortRange(*v, &o.firstPort, &o.lastPort)) return Usage("bad --ports: " + *v);
    }
    if (a.Has("cert") != a.Has("key")) return Usage("--cert and --key go together");
    if (const std::string* v = a.Last("cert")) o.certFile = *v;
    if (const std::string* v = a.Last("key")) o.keyFile = *v;
    if (a.Has("cert") && (o.certFile.empty() || o.keyFile.empty())) {
        return Usage("--cert and --key need file names");
    }
    o.bindAny = a.Has("bind-any");
    if (o.bindAny && a.Has("bind")) return Usage("--bind and --bind-any exclude each other");
    for (std::string addr : a.All("bind")) {
        if (addr.size() > 2 && addr.front() == '[' && addr.back() == ']') {
            addr = addr.substr(1, addr.size() - 2);
        }
        if (vnnet_addrfamily(addr.c_str()) == 0) {
            return Usage("--bind needs a numeric IPv4 or IPv6 address: '" + addr + "'");
        }
        o.bind.push_back(addr);
    }
    o.upload = a.Has("upload");
    o.libraryLogLevel = a.Has("verbose") ? 4 : -1;
    return RunServe(o);
}

// md5sum-style lines: 32 hex digits, two blanks, the name.
int CommandMd5(int argc, char** argv) {
    if (WantsHelp(argc, argv) || argc < 3) {
        printf(
            "usage: vnhttp md5 FILE...\n\nPrints the MD5 of each file as md5sum does, "
            "computed by the library.\nExit status 1 when a file cannot be read.\n");
        return argc < 3 ? kExitUsage : 0;
    }
    int status = 0;
    std::vector<unsigned char> buffer(1 << 20);
    for (int i = 2; i < argc; ++i) {
        vn::io::CFile file;
        if (!file.Open(argv[i], "rb")) {
            fprintf(stderr, "vnhttp: cannot read %s: %s\n", argv[i], strerror(errno));
            status = 1;
            continue;
        }
        VN_MD5_CTX ctx;
        MD5_Init(&ctx);
        long long n;
        while ((n = file.Read(buffer.data(), static_cast<long long>(buffer.size()))) > 0) {
            MD5_Update(&ctx, buffer.data(), static_cast<size_t>(n));
        }
        if (ferror(static_cast<FILE*>(file))) {
            fprintf(stderr, "vnhttp: cannot read %s\n", argv[i]);
            status = 1;
            continue;
        }
        unsigned char digest[16];
        MD5_Final(digest, &ctx);
        for (unsigned char b : digest)
            printf("%02x", b);
        printf("  %s\n", argv[i]);
    }
    return status;
}

}  // namespace
}  // namespace vnhttp

int main(int argc, char** argv) {
    using namespace vnhttp;
    InstallSignalHandlers();
    if (argc < 2) {
        fputs(kUsage, stderr);
        return kExitUsage;
    }
    std::string command = argv[1];
    if (command == "--version" || command == "-V") {
        printf("vnhttp %s (vnbase %s)\n", VNHTTP_VERSION, VNHTTP_VERSION);
        return 0;
    }
    if (command == "--help" || command == "-h" || command == "help") {
        printf("%s\n%s", kUsage, kExitStatuses);
        return 0;
    }
    if (command == "get") return CommandGet(argc, argv);
    if (command == "post") return CommandPost(argc, argv);
    if (command == "serve") return CommandServe(argc, argv);
    if (command == "md5") return CommandMd5(argc, argv);
    fputs(kUsage, stderr);
    return kExitUsage;
}
