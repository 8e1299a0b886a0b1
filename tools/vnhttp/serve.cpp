// `vnhttp serve` (see serve.h).
//
// Threads: FileServer's notify methods run on the library's "HttpSvr" thread, one at a
// time. The table of transfers in flight is also read by the main thread when it stops, so
// it is guarded by a mutex. The FileServer object is never destroyed: the server is a
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
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "args.h"
#include "confine.h"
#include "progress.h"
#include "runtime.h"
#include "upload_name.h"
#include "base/vnevent.h"
#include "common/vnstream.h"
#include "http/server/vnhttpserver.h"

namespace vnhttp {
namespace {

const char kTempPrefix[] = ".vnhttp-upload-";

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

// The value of a header of the message head (the lines before the first empty line),
// name matched without case; empty when absent.
std::string HeaderValue(const std::string& head, const char* name) {
    size_t end = head.find("\r\n\r\n");
    size_t pos = head.find("\r\n");
    size_t len = strlen(name);
    while (pos != std::string::npos && pos < end) {
        size_t line = pos + 2;
        size_t eol = head.find("\r\n", line);
        if (eol == std::string::npos) break;
        if (eol - line > len && strncasecmp(head.c_str() + line, name, len) == 0 &&
            head[line + len] == ':') {
            std::string value = head.substr(line + len + 1, eol - line - len - 1);
            size_t first = value.find_first_not_of(" \t");
            size_t last = value.find_last_not_of(" \t");
            return first == std::string::npos ? "" : value.substr(first, last - first + 1);
        }
        pos = eol;
    }
    return std::string();
}

bool IsLoopback(const std::string& ip) {
    return ip.compare(0, 4, "127.") == 0;
}

enum TransferKind { kSendFile, kSendListing, kUpload };

struct Transfer {
    TransferKind kind;
    std::string peer;
    std::string requestLine;
    uint64_t startMs;
    unsigned status;
    unsigned long long bytes;  // what a complete transfer moves (uploads: counted at the end)
    std::string tempPath, finalPath, finalName;
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
        : m_options(options), m_root(root), m_server(GetHttpServerInstance()) {}

    bool Start(unsigned short* port) {
        if (!m_server->Listen(m_options.firstPort, m_options.lastPort, port)) return false;
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
            if (m_transfers.empty()) m_idle.Post();
        }
        m_idle.Wait(waitMs);
        std::lock_guard<std::mutex> lock(m_lock);
        for (auto& entry : m_transfers) {
            m_server->Cancel(entry.first);
            if (entry.second.kind == kUpload) {
                unlink(entry.second.tempPath.c_str());
                unlink(entry.second.finalPath.c_str());
            }
        }
        m_transfers.clear();
    }

    void OnRequest(unsigned long long uId, const vn::strutf8&, const vn::strutf8& strHead,
                   vn::strutf8, vn::strutf8 strPeerIP, unsigned short uPeerPort) override {
        std::string head(strHead.c_str(), strHead.length());
        Transfer t;
        t.startMs = NowMs();
        t.requestLine = head.substr(0, head.find("\r\n"));
        t.peer = std::string(strPeerIP.c_str()) + ":" + std::to_string(uPeerPort);
        t.status = 0;
        t.bytes = 0;
        size_t sp1 = t.requestLine.find(' ');
        size_t sp2 = sp1 == std::string::npos ? sp1 : t.requestLine.find(' ', sp1 + 1);
        std::string method = t.requestLine.substr(0, sp1);
        std::string target =
            sp2 == std::string::npos ? "" : t.requestLine.substr(sp1 + 1, sp2 - sp1 - 1);
        bool stopping;
        {
            std::lock_guard<std::mutex> lock(m_lock);
            stopping = m_stopping;
        }
        if (stopping) {
            Refuse(uId, &t, 503, "stopping\n");
        } else if (!m_options.bindAny && !IsLoopback(strPeerIP.c_str())) {
            Refuse(uId, &t, 403, "this server answers loopback peers only\n");
        } else if (method == "GET") {
            ServeGet(uId, &t, target, head);
        } else if (method == "POST" && m_options.upload) {
            ServeUpload(uId, &t, target, head);
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
            t = it->second;
            m_transfers.erase(it);
            if (m_stopping && m_transfers.empty()) m_idle.Post();
        }
        if (t.kind == kUpload) {
            struct stat st;
            unlink(t.tempPath.c_str());
            if (nCode == 0 && stat(t.finalPath.c_str(), &st) == 0) {
                t.bytes = static_cast<unsigned long long>(st.st_size);
            } else {
                unlink(t.finalPath.c_str());
            }
        }
        Log(t, nCode == 0 ? nullptr : CompletionText(nCode));
    }

private:
    void Refuse(unsigned long long id, Transfer* t, unsigned status, const char* text) {
        t->status = status;
        t->bytes = strlen(text);
        m_server->Refuse(id, text, static_cast<int>(status));
        Log(*t, nullptr);
    }

    void Track(unsigned long long id, const Transfer& t) {
        std::lock_guard<std::mutex> lock(m_lock);
        m_transfers[id] = t;
    }

    void ServeGet(unsigned long long id, Transfer* t, const std::string& target,
                  const std::string& head) {
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
            t->bytes = html.size();
            Track(id, *t);
            m_server->Accept_SendBuf(
                id, vn::strutf8(html.data(), static_cast<unsigned>(html.size())), this, false);
            return;
        }
        uint64_t start = 0;
        std::string range = HeaderValue(head, "Range");
        if (!range.empty()) {
            // Only "bytes=N-" and "bytes=N-M" are understood; the answer always runs to the
            // end of the file, which its Content-Range states.
            size_t dash = range.find('-');
            if (strncasecmp(range.c_str(), "bytes=", 6) != 0 || dash == std::string::npos ||
                !ParseUnsigned(range.substr(6, dash - 6), UINT64_MAX, &start) ||
                range.find(',') != std::string::npos || start >= p.size) {
                return Refuse(id, t, 416, "range not satisfiable\n");
            }
        }
        t->kind = kSendFile;
        t->status = start > 0 ? 206 : 200;
        t->bytes = p.size - start;
        Track(id, *t);
        if (p.size == 0) {
            m_server->Accept_SendBuf(id, vn::strutf8(), this, false);
        } else {
            m_server->Accept_SendFile(id, p.fsPath.c_str(), this, false);
        }
    }

    void ServeUpload(unsigned long long id, Transfer* t, const std::string& target,
                     const std::string& head) {
        if (target.substr(0, target.find('?')) != "/") return Refuse(id, t, 404, "not found\n");
        if (strcasestr(HeaderValue(head, "Content-Type").c_str(), "multipart/form-data") ==
            nullptr) {
            return Refuse(id, t, 400, "multipart/form-data expected\n");
        }
        // The library hands over the message head together with the head of the first
        // part; that part's data is what it stores, so it must be the file.
        size_t partStart = head.find("\r\n\r\n");
        std::string part = partStart == std::string::npos ? "" : head.substr(partStart + 4);
        std::string disposition = HeaderValue("\r\n" + part, "Content-Disposition");
        size_t fn = disposition.find("filename=\"");
        size_t quote = fn == std::string::npos ? fn : disposition.find('"', fn + 10);
        if (quote == std::string::npos) {
            return Refuse(id, t, 400, "the first part of the form must be a file\n");
        }
        std::string name = SanitizeUploadName(disposition.substr(fn + 10, quote - fn - 10));
        // The body goes into a hidden temporary file that the stored name is a hard link to
        // from the start: link() never replaces a name, and the channel has written and
        // closed the file before it sends the answer, so a client that reads the stored
        // file back right after the answer finds all of it. The temporary name goes at the
        // end.
        std::string temp = m_root + "/" + kTempPrefix + "XXXXXX";
        int fd = mkstemp(&temp[0]);
        std::string error =
            fd < 0 ? "cannot create a file in " + m_root + ": " + strerror(errno) : std::string();
        if (fd >= 0) {
            close(fd);
            fchmodat(AT_FDCWD, temp.c_str(), 0644, 0);
            t->finalName = ReserveUploadName(m_root, name, temp, &error);
            if (t->finalName.empty()) unlink(temp.c_str());
        }
        if (t->finalName.empty()) {
            fprintf(stderr, "vnhttp: %s\n", error.c_str());
            return Refuse(id, t, 500, "cannot store the upload\n");
        }
        t->finalPath = m_root + "/" + t->finalName;
        t->tempPath = temp;
        t->kind = kUpload;
        t->status = 200;
        Track(id, *t);
        std::string answer = "stored " + t->finalName + "\n";
        m_server->Accept_RecvFile(id, answer.c_str(), t->tempPath.c_str(), this, false);
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
                if (name == "." || name == ".." ||
                    name.compare(0, strlen(kTempPrefix), kTempPrefix) == 0) {
                    continue;
                }
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

    // One line per transfer on standard error: peer, request line, status, bytes, time, rate.
    void Log(const Transfer& t, const char* failure) {
        uint64_t ms = NowMs() - t.startMs;
        std::string bytes = failure ? "-" : std::to_string(t.bytes);
        std::string rate =
            failure || ms == 0 ? "-" : ProgressMeter::FormatBytes(t.bytes * 1000 / ms) + "/s";
        fprintf(stderr, "%s \"%s\" %u %s %.3fs %s%s%s\n", t.peer.c_str(), t.requestLine.c_str(),
                t.status, bytes.c_str(), static_cast<double>(ms) / 1000.0, rate.c_str(),
                failure ? " failed: " : "", failure ? failure : "");
    }

    ServeOptions m_options;
    std::string m_root;  // realpath of the served directory
    IHttpServer* m_server;
    unsigned short m_port = 0;
    std::mutex m_lock;
    std::map<unsigned long long, Transfer> m_transfers;  // guarded by m_lock
    bool m_stopping = false;                             // guarded by m_lock
    CVNEvent m_idle{1, 0};  // posted when stopping and no transfer is left
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
    SetLibraryLog(o.libraryLogLevel);
    g_fileServer = new FileServer(o, resolved);
    unsigned short port = 0;
    if (!g_fileServer->Start(&port)) {
        fprintf(stderr, "vnhttp: no free port in %u-%u\n", o.firstPort, o.lastPort);
        return 1;
    }
    printf("Serving %s at http://127.0.0.1:%u/ (%s%s; Ctrl-C stops)\n", resolved, port,
           o.bindAny ? "all addresses" : "loopback peers only", o.upload ? ", uploads on" : "");
    fflush(stdout);
    // The handler only sets the flag; a 200 ms slice bounds how long a stop takes to notice.
    CVNEvent never;
    while (g_stopSignal.load(std::memory_order_relaxed) == 0)
        never.Wait(200);
    g_fileServer->Stop(3000);
    fprintf(stderr, "vnhttp: stopped\n");
    return 0;
}

}  // namespace vnhttp
