// `vnhttp serve` (see serve.h).
//
// Threads: FileServer's notify methods run on the library's "HttpSvr" thread, one at a
// time. The table of transfers in flight is also read by the main thread when it stops, so
// it is guarded by a mutex. The log lines are gathered by LogWriter (any thread) and written
// by the main thread in batches. The FileServer object is never destroyed: the server is a
// process-wide singleton that may still deliver a completion while the process ends.
#include "serve.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "args.h"
#include "confine.h"
#include "progress.h"
#include "runtime.h"
#include "upload_name.h"
#include "base/vnevent.h"
#include "common/vnstream.h"
#include "http/server/vnhttpserver.h"
#include "net/vnhttphead.h"
#include "net/vnhttpmultipart.h"
#include "net/vnhttprange.h"
#include "net/vnnet.h"

namespace vnhttp {
namespace {

std::string HtmlEscape(const std::string& text) {
    std::string out;
    for (char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '\'':
                out += "&#39;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

// Percent-encodes everything but unreserved characters and '/'.
std::string UrlEscape(const std::string& path) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : path) {
        if (isalnum(c) || strchr("-._~/", c) != nullptr) {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 15];
        }
    }
    return out;
}

// Log lines quote what a peer sent: control bytes (a terminal's escape sequences above all),
// quotes and backslashes are written as \xHH so that nothing a peer sends acts on the
// terminal or forges a line.
void AppendLogEscaped(std::string* out, const std::string& text) {
    static const char kHex[] = "0123456789abcdef";
    for (unsigned char c : text) {
        if (c < 0x20 || c == 0x7f || c == '"' || c == '\\') {
            *out += "\\x";
            *out += kHex[c >> 4];
            *out += kHex[c & 15];
        } else {
            *out += static_cast<char>(c);
        }
    }
}

// How long the first line of a batch waits for others, and how many bytes make a batch
// that is written at once by the thread that completes it.
constexpr long long kLogBatchMs = 50;
constexpr size_t kLogBatchBytes = 64 * 1024;

// Standard error for the tool's lines. One write per line cost a system call per request,
// as much as opening the file served; so lines are gathered and written together, at most
// kLogBatchMs after the first of a batch (the main thread, woken by BatchStarted) or as soon
// as kLogBatchBytes are waiting (the thread that appends). Whole lines only, in order. Lines
// go out one by one while the library's own log is on (they keep their order among its
// lines) and after SetDirect (the process is ending). Any thread.
class LogWriter {
public:
    explicit LogWriter(bool direct) : m_direct(direct) {}

    // One whole line, its '\n' included.
    void Line(const std::string& line) {
        std::unique_lock<std::mutex> lock(m_lock);
        if (m_direct) {
            lock.unlock();
            std::lock_guard<std::mutex> out(m_writeLock);
            WriteAll(line.data(), line.size());
            return;
        }
        bool first = m_buffer.empty();
        m_buffer += line;
        bool full = m_buffer.size() >= kLogBatchBytes;
        lock.unlock();
        if (full) {
            Flush();
        } else if (first) {
            m_batch.Post();
        }
    }

    // Writes what is gathered.
    void Flush() {
        std::lock_guard<std::mutex> out(m_writeLock);
        TakeAndWrite();
    }

    // Writes what is gathered; every later line is written at once.
    void SetDirect() {
        std::lock_guard<std::mutex> out(m_writeLock);
        {
            std::lock_guard<std::mutex> lock(m_lock);
            m_direct = true;
        }
        TakeAndWrite();
    }

    // Signalled (automatic reset) when a line arrives and nothing else waits to be written.
    const CVNEvent& BatchStarted() const { return m_batch; }

private:
    // With m_writeLock held, so batches leave in the order they were taken.
    void TakeAndWrite() {
        m_out.clear();
        {
            std::lock_guard<std::mutex> lock(m_lock);
            m_out.swap(m_buffer);  // the buffers trade places and keep their capacity
        }
        WriteAll(m_out.data(), m_out.size());
    }

    static void WriteAll(const char* p, size_t n) {
        while (n > 0) {
            ssize_t w = write(STDERR_FILENO, p, n);
            if (w < 0 && errno == EINTR) continue;
            if (w <= 0) return;  // nowhere to write (a closed pipe): the lines are dropped
            p += w;
            n -= static_cast<size_t>(w);
        }
    }

    std::mutex m_writeLock;  // held while a batch or a direct line is written
    std::string m_out;       // guarded by m_writeLock: the batch being written
    std::mutex m_lock;
    std::string m_buffer;  // guarded by m_lock
    bool m_direct;         // guarded by m_lock
    CVNEvent m_batch;
};

// Names the library's server writes an upload under until it is complete.
bool IsPartialUpload(const std::string& name) {
    static const char kSuffix[] = ".vnpart";
    size_t n = sizeof(kSuffix) - 1;
    return name.size() > n && name[0] == '.' && name.compare(name.size() - n, n, kSuffix) == 0;
}

// Whether this machine can bind ::1 (a kernel without IPv6, or with it switched off on the
// loopback interface, cannot).
bool HaveIpv6Loopback() {
    int fd = vnsocket_create_for("::1", true);
    bool ok = fd != -1 && vnsocket_bind_addr(fd, "::1", 0);
    vnsocket_close(fd);
    return ok;
}

// The addresses to listen on, as ListenAt takes them ("": every address).
std::string ListenList(const ServeOptions& o) {
    if (o.bindAny) return std::string();
    if (o.bind.empty()) return HaveIpv6Loopback() ? "127.0.0.1,::1" : "127.0.0.1";
    std::string list;
    for (const std::string& a : o.bind)
        list += (list.empty() ? "" : ",") + a;
    return list;
}

// Whether peers outside loopback get an answer: with --bind-any, or when --bind names an
// address outside loopback (the user chose to serve that network). Otherwise a peer that
// reaches a loopback port from one of this machine's other addresses is refused.
bool AnswersEveryPeer(const ServeOptions& o) {
    if (o.bindAny) return true;
    for (const std::string& a : o.bind) {
        if (!vnnet_isloopback(a.c_str())) return true;
    }
    return false;
}

// The host of the URL the start line names: 127.0.0.1 where the server listens there,
// else the first --bind address (a wildcard stands for its family's loopback), IPv6 in
// brackets.
std::string UrlHost(const ServeOptions& o) {
    if (o.bindAny || o.bind.empty()) return "127.0.0.1";
    for (const std::string& a : o.bind) {
        if (a == "127.0.0.1") return a;
    }
    std::string host = o.bind.front();
    if (host == "0.0.0.0") return "127.0.0.1";
    if (vnnet_addrfamily(host.c_str()) != 6) return host;
    if (host.find_first_not_of(":0") == std::string::npos) return "[::1]";  // "::"
    return "[" + host + "]";
}

enum TransferKind { kSendFile, kSendListing, kUpload };

struct Transfer {
    TransferKind kind;
    std::string peer;
    std::string requestLine;
    uint64_t startMs;
    unsigned status;
    unsigned long long bytes;  // what a complete transfer moves (uploads: counted at the end)
    std::string finalPath, finalName;
};

const char* CompletionText(int code) {
    switch (code) {
        case 1:
            return "time-out";
        case 2:
            return "connection closed";
        case 3:
            return "request head too long";
        case 4:
            return "writing the upload failed";
        case 5:
            return "reading the file failed";
        case 6:
            return "the file did not open";
        case 7:
            return "the upload file did not open";
        default:
            return "failed";
    }
}

class FileServer : public CHttpRequestNotify, public CHttpNotify {
public:
    FileServer(const ServeOptions& options, const std::string& root)
        : m_options(options),
          m_root(root),
          m_server(GetHttpServerInstance()),
          m_answerAll(AnswersEveryPeer(options)),
          m_log(options.libraryLogLevel >= 0) {}

    LogWriter& GetLog() { return m_log; }

    bool Start(unsigned short* port) {
        std::string list = ListenList(m_options);
        bool tls = !m_options.certFile.empty();
        if (!m_server->ListenAt(list.c_str(), m_options.firstPort, m_options.lastPort, port,
                                tls ? m_options.certFile.c_str() : nullptr,
                                tls ? m_options.keyFile.c_str() : nullptr)) {
            return false;
        }
        m_port = *port;
        // Every request reaches OnRequest, so anything this tool does not serve is answered
        // 404 here rather than 400 by the library. The registration is queued on "HttpSvr"
        // before the first connection's request can be.
        m_server->RegisterRequest("*.*", m_port, this);
        return true;
    }

    // Closes the port, gives transfers in flight up to waitMs to end, then cancels the
    // rest and removes their partial uploads.
    void Stop(long long waitMs) {
        m_server->UnRegisterRequest("*.*", m_port);
        {
            std::lock_guard<std::mutex> lock(m_lock);
            m_stopping = true;
            if (m_transfers.empty() && m_completing == 0) m_idle.Post();
        }
        m_idle.Wait(waitMs);
        std::lock_guard<std::mutex> lock(m_lock);
        for (auto& entry : m_transfers) {
            m_server->Cancel(entry.first);
            // The reserved name; the library removes its partial file itself.
            if (entry.second.kind == kUpload) unlink(entry.second.finalPath.c_str());
        }
        m_transfers.clear();
    }

    void OnRequest(unsigned long long uId, const vn::strutf8&, const vn::strutf8& strHead,
                   vn::strutf8, vn::strutf8 strPeerIP, unsigned short uPeerPort) override {
        // The library has read the head by the protocol's rules already; reading it again
        // here cannot fail, and gives the method, the target and the fields.
        CHttpHead head;
        size_t used = 0;
        head.ParseRequest(strHead.c_str(), strHead.length(), strHead.length() + 1, &used);
        Transfer t;
        t.startMs = NowMs();
        const char* end = strstr(strHead.c_str(), "\r\n");
        t.requestLine.assign(strHead.c_str(),
                             end != nullptr ? end - strHead.c_str() : strHead.length());
        // An IPv6 peer in brackets, as in a URL: its own colons would hide the port's.
        std::string ip = strPeerIP.c_str();
        t.peer = (ip.find(':') != std::string::npos ? "[" + ip + "]" : ip) + ":" +
                 std::to_string(uPeerPort);
        t.status = 0;
        t.bytes = 0;
        std::string method = head.GetMethod().c_str();
        std::string target = head.GetTarget().c_str();
        bool stopping;
        {
            std::lock_guard<std::mutex> lock(m_lock);
            stopping = m_stopping;
        }
        if (stopping) {
            Refuse(uId, &t, 503, "stopping\n");
        } else if (!m_answerAll && !vnnet_isloopback(strPeerIP.c_str())) {
            // The library writes an IPv4 peer of a dual-stack port dotted; the check knows
            // ::1 and mapped addresses as well.
            Refuse(uId, &t, 403, "this server answers loopback peers only\n");
        } else if (method == "GET" || method == "HEAD") {
            // HEAD is answered as GET; the library sends the head alone.
            ServeGet(uId, &t, target, head, method == "HEAD");
        } else if (method == "POST" && m_options.upload) {
            ServeUpload(uId, &t, target, head, strHead, used);
        } else {
            Refuse(uId, &t, 404, "not found\n");
        }
    }

    void OnProgress(unsigned long long, unsigned long long, unsigned long long,
                    unsigned int) override {}

    void OnComplete(unsigned long long uId, const vn::strutf8&, const vn::strutf8&,
                    int nCode) override {
        Transfer t;
        {
            std::lock_guard<std::mutex> lock(m_lock);
            auto it = m_transfers.find(uId);
            if (it == m_transfers.end()) return;
            t = std::move(it->second);
            m_transfers.erase(it);
            ++m_completing;
        }
        if (t.kind == kUpload) {
            struct stat st;
            if (nCode == 0 && stat(t.finalPath.c_str(), &st) == 0) {
                t.bytes = static_cast<unsigned long long>(st.st_size);
            } else {
                unlink(t.finalPath.c_str());  // the reserved name, still empty
            }
        }
        // An unsatisfiable range was answered 416 as it should be: not a failure here.
        bool ok = nCode == 0 || (t.status == 416 && nCode == 5);
        Log(t, ok ? nullptr : CompletionText(nCode));
        // Only now may a stop go on: the main thread ends the process once it hears that
        // nothing is left, and the line and the reserved name must be settled by then.
        std::lock_guard<std::mutex> lock(m_lock);
        if (--m_completing == 0 && m_stopping && m_transfers.empty()) m_idle.Post();
    }

private:
    void Refuse(unsigned long long id, Transfer* t, unsigned status, const char* text) {
        t->status = status;
        t->bytes = strlen(text);
        m_server->Refuse(id, text, static_cast<int>(status));
        Log(*t, nullptr);
    }

    void Track(unsigned long long id, Transfer* t) {
        std::lock_guard<std::mutex> lock(m_lock);
        m_transfers[id] = std::move(*t);
    }

    void ServeGet(unsigned long long id, Transfer* t, const std::string& target,
                  const CHttpHead& head, bool headOnly) {
        ConfinedPath p = ConfineRequestTarget(m_root, target);
        switch (p.verdict) {
            case PathVerdict::kBadRequest:
                return Refuse(id, t, 400, "bad request\n");
            case PathVerdict::kForbidden:
                return Refuse(id, t, 403, "forbidden\n");
            case PathVerdict::kNotFound:
                return Refuse(id, t, 404, "not found\n");
            case PathVerdict::kOk:
                break;
        }
        if (p.isDirectory) {
            std::string html = Listing(p);
            t->kind = kSendListing;
            t->status = 200;
            t->bytes = headOnly ? 0 : html.size();
            Track(id, t);
            m_server->Accept_SendBuf(
                id, vn::strutf8(html.data(), static_cast<unsigned>(html.size())), this, false);
            return;
        }
        // The library answers the Range itself (206, or 416 for one that selects nothing);
        // the same evaluation gives the status and the size for the log line.
        unsigned long long first = 0, last = p.size != 0 ? p.size - 1 : 0;
        size_t rangeLen = 0;
        const char* range = head.Find("Range", &rangeLen);
        int r = range != nullptr ? CHttpRange::Evaluate(range, rangeLen, p.size, &first, &last)
                                 : static_cast<int>(CHttpRange::kWhole);
        t->kind = kSendFile;
        t->status = 200;
        t->bytes = p.size;
        if (r == CHttpRange::kUnsatisfiable) {
            t->status = 416;
            t->bytes = 0;
        } else if (r == CHttpRange::kPart && !(first == 0 && last + 1 == p.size)) {
            t->status = 206;
            t->bytes = last - first + 1;
        }
        if (headOnly) t->bytes = 0;
        Track(id, t);
        if (p.size == 0) {
            m_server->Accept_SendBuf(id, vn::strutf8(), this, false);
        } else {
            m_server->Accept_SendFile(id, p.fsPath.c_str(), this, false);
        }
    }

    void ServeUpload(unsigned long long id, Transfer* t, const std::string& target,
                     const CHttpHead& head, const vn::strutf8& strHead, size_t headLen) {
        if (target.substr(0, target.find('?')) != "/") return Refuse(id, t, 404, "not found\n");
        vn::strutf8 boundary;
        if (CHttpMultipartReader::GetBoundary(head, boundary) != 1) {
            return Refuse(id, t, 400, "multipart/form-data expected\n");
        }
        // The library hands over the message head together with the form's bytes up to its
        // first part's content; that part's content is what it stores, so it must be the
        // file.
        CHttpMultipartReader form;
        form.Start(boundary, strHead.length());
        size_t used = 0, n = 0;
        const char* data = nullptr;
        vn::strutf8 filename;
        size_t dispLen = 0;
        const char* disposition = nullptr;
        if (form.Step(strHead.c_str() + headLen, strHead.length() - headLen, &used, &data, &n) ==
            CHttpMultipartReader::kHead) {
            disposition = form.GetPartHead().Find("Content-Disposition", &dispLen);
        }
        if (disposition == nullptr ||
            !CHttpHead::GetParameter(disposition, dispLen, "filename", filename)) {
            return Refuse(id, t, 400, "the first part of the form must be a file\n");
        }
        std::string name = SanitizeUploadName(filename.c_str());
        // The name is taken at once (an empty file that nothing else can claim); the library
        // writes the upload beside it and puts it in that place only once it is complete,
        // before it answers, so a client that reads the stored file back right after the
        // answer finds all of it.
        std::string error;
        t->finalName = ReserveUploadName(m_root, name, &error);
        if (t->finalName.empty()) {
            m_log.Line("vnhttp: " + error + "\n");
            return Refuse(id, t, 500, "cannot store the upload\n");
        }
        t->finalPath = m_root + "/" + t->finalName;
        t->kind = kUpload;
        t->status = 200;
        std::string answer = "stored " + t->finalName + "\n";
        std::string path = t->finalPath;
        Track(id, t);
        m_server->Accept_RecvFile(id, answer.c_str(), path.c_str(), this, false);
    }

    std::string Listing(const ConfinedPath& p) {
        struct Entry {
            std::string name;
            bool dir;
            unsigned long long size;
        };
        std::vector<Entry> entries;
        DIR* d = opendir(p.fsPath.c_str());
        if (d != nullptr) {
            while (struct dirent* e = readdir(d)) {
                std::string name = e->d_name;
                if (name == "." || name == ".." || IsPartialUpload(name)) continue;
                struct stat st;
                // fstatat follows links like a request would; nothing is opened.
                if (fstatat(dirfd(d), e->d_name, &st, 0) != 0) continue;
                entries.push_back(
                    {name, S_ISDIR(st.st_mode) != 0, static_cast<unsigned long long>(st.st_size)});
            }
            closedir(d);
        }
        std::sort(entries.begin(), entries.end(),
                  [](const Entry& a, const Entry& b) { return a.name < b.name; });
        std::string title = HtmlEscape(p.urlPath);
        std::string html = "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>" + title +
                           "</title></head>\n<body><h1>" + title + "</h1>\n<ul>\n";
        if (p.urlPath != "/") html += "<li><a href=\"../\">../</a></li>\n";
        for (const Entry& e : entries) {
            std::string shown = e.name + (e.dir ? "/" : "");
            html += "<li><a href=\"" + HtmlEscape(UrlEscape(p.urlPath + shown)) + "\">" +
                    HtmlEscape(shown) + "</a>" +
                    (e.dir ? "" : " " + ProgressMeter::FormatBytes(e.size)) + "</li>\n";
        }
        html += "</ul>\n";
        if (m_options.upload && p.urlPath == "/") {
            html +=
                "<form method=\"post\" action=\"/\" enctype=\"multipart/form-data\">"
                "<input type=\"file\" name=\"file\"> <input type=\"submit\" "
                "value=\"Upload\"></form>\n";
        }
        html += "</body></html>\n";
        return html;
    }

    // One line per transfer on standard error: peer, request line, status, bytes, time
    // (seconds with three decimals), rate, and why it failed, if it did.
    void Log(const Transfer& t, const char* failure) {
        uint64_t ms = NowMs() - t.startMs;
        std::string line;
        line.reserve(t.peer.size() + t.requestLine.size() + 64);
        line += t.peer;
        line += " \"";
        AppendLogEscaped(&line, t.requestLine);
        line += "\" ";
        line += std::to_string(t.status);
        line += ' ';
        line += failure ? "-" : std::to_string(t.bytes);
        line += ' ';
        char seconds[32];
        snprintf(seconds, sizeof(seconds), "%llu.%03us ",
                 static_cast<unsigned long long>(ms / 1000), static_cast<unsigned>(ms % 1000));
        line += seconds;
        line += failure || ms == 0 ? "-" : ProgressMeter::FormatBytes(t.bytes * 1000 / ms) + "/s";
        if (failure) {
            line += " failed: ";
            line += failure;
        }
        line += '\n';
        m_log.Line(line);
    }

    ServeOptions m_options;
    std::string m_root;  // realpath of the served directory
    IHttpServer* m_server;
    bool m_answerAll;  // peers outside loopback are answered too
    unsigned short m_port = 0;
    std::mutex m_lock;
    std::unordered_map<unsigned long long, Transfer> m_transfers;  // guarded by m_lock
    bool m_stopping = false;                                       // guarded by m_lock
    int m_completing = 0;   // guarded by m_lock: completions taken out, not yet logged
    CVNEvent m_idle{1, 0};  // posted when stopping and no transfer is left or completing
    LogWriter m_log;
};

// Never destroyed (see the top of the file); reachable from here for leak checkers.
FileServer* g_fileServer = nullptr;

}  // namespace

int RunServe(const ServeOptions& o) {
    char resolved[PATH_MAX];
    struct stat st;
    if (realpath(o.dir.c_str(), resolved) == nullptr || stat(resolved, &st) != 0 ||
        !S_ISDIR(st.st_mode)) {
        fprintf(stderr, "vnhttp: not a directory: %s\n", o.dir.c_str());
        return 1;
    }
    bool tls = !o.certFile.empty();
    // The library says why a certificate or key does not load only in its log; a file that
    // cannot even be opened is named here.
    for (const std::string* file : {&o.certFile, &o.keyFile}) {
        if (tls && access(file->c_str(), R_OK) != 0) {
            fprintf(stderr, "vnhttp: cannot read %s: %s\n", file->c_str(), strerror(errno));
            return 1;
        }
    }
    SetLibraryLog(o.libraryLogLevel);
    g_fileServer = new FileServer(o, resolved);
    unsigned short port = 0;
    if (!g_fileServer->Start(&port)) {
        // A --bind address this machine does not have fails like a taken port; the
        // library's log names the address and the reason.
        std::string what =
            "no free port in " + std::to_string(o.firstPort) + "-" + std::to_string(o.lastPort) +
            (o.bind.empty()
                 ? std::string()
                 : " on " + ListenList(o) + " (or an address this machine does not have)");
        if (tls) {
            fprintf(stderr,
                    "vnhttp: %s, or %s and %s are not a PEM certificate chain and its key (-v "
                    "shows which)\n",
                    what.c_str(), o.certFile.c_str(), o.keyFile.c_str());
        } else {
            fprintf(stderr, "vnhttp: %s%s\n", what.c_str(),
                    o.bind.empty() ? "" : " (-v shows which)");
        }
        return 1;
    }
    std::string scope = o.bindAny        ? "all addresses"
                        : o.bind.empty() ? "loopback only, IPv4 and IPv6"
                                         : "bound to " + ListenList(o);
    printf("Serving %s at %s://%s:%u/ (%s%s; Ctrl-C stops)\n", resolved, tls ? "https" : "http",
           UrlHost(o).c_str(), port, scope.c_str(), o.upload ? ", uploads on" : "");
    fflush(stdout);
    // The handler only sets the flag; a 200 ms slice bounds how long a stop takes to notice.
    // The first log line of a batch wakes this thread, which gives the others kLogBatchMs to
    // join it and writes them all.
    LogWriter& log = g_fileServer->GetLog();
    CVNEvent never;
    while (g_stopSignal.load(std::memory_order_relaxed) == 0) {
        if (log.BatchStarted().Wait(200) != 0) {
            never.Wait(kLogBatchMs);
            log.Flush();
        }
    }
    g_fileServer->Stop(3000);
    // Completions that still come (the server outlives this function) are written at once.
    log.SetDirect();
    fprintf(stderr, "vnhttp: stopped\n");
    return 0;
}

}  // namespace vnhttp
