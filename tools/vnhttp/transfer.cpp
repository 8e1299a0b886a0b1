// `vnhttp get` and `vnhttp post` (see transfer.h).
//
// Threads: the main thread sets the client up, starts the request, then waits for the
// completion event in 100 ms slices, redrawing the progress display and watching the
// Ctrl-C flag. The client's notifications, the collection of the result and the deletion
// of the client run on the tool's own task thread "vnhttp"; the client's network work runs
// on its private "HttpClient" thread. The cookie store is the main thread's: it loads it
// before the client exists and saves it once the client is gone.
#include "transfer.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <string>

#include "args.h"
#include "progress.h"
#include "runtime.h"
#include "base/vnevent.h"
#include "common/vnstream.h"
#include "http/client/vnhttpclient.h"
#include "http/client/vnhttpcookiejar.h"
#include "net/vnhttphead.h"
#include "net/vnsocketi.h"
#include "net/vntls.h"
#include "task/vntask.h"

namespace vnhttp {
namespace {

const char16_t* const kFormFileName = u"file";

// The client's sink; every call runs on "vnhttp". The main thread reads the atomics while
// the request runs, and the plain fields only after m_finished was posted.
class TransferSink : public IHttpClientSink {
public:
    TransferSink(bool toStdout, bool upload) : m_toStdout(toStdout), m_upload(upload) { Touch(); }

    void OnConnecting(IHttpClient*, const vn::strutf16&) override { Touch(); }
    void OnConnected(IHttpClient*) override { Touch(); }
    void OnDownloadStart(IHttpClient*, unsigned int uDownloaded,
                         unsigned int uContentLength) override {
        Touch();
        if (m_upload) return;  // the answer to an upload: its progress is the upload's
        m_resumedFrom.store(uDownloaded, std::memory_order_relaxed);
        m_done.store(uDownloaded, std::memory_order_relaxed);
        m_total.store(uContentLength, std::memory_order_relaxed);
    }
    void OnProgress(IHttpClient*, unsigned long long uDone, unsigned long long uTotal,
                    unsigned int) override {
        m_done.store(uDone, std::memory_order_relaxed);
        m_total.store(uTotal, std::memory_order_relaxed);
        Touch();
    }
    void OnRedirected(IHttpClient*, vn::strutf16&) override { Touch(); }
    void OnDownloadComplete(IHttpClient* pClient, unsigned int uCode) override {
        m_quietMs = NowMs() - m_lastActivityMs.load(std::memory_order_relaxed);
        m_code = uCode;
        if (uCode == HTTPRESULT_TLS_FAILED) {
            vn::strutf8 text;
            m_tlsReason = pClient->GetTlsError(text);
            m_tlsText = text.c_str();
        }
        vn::strutf16 head;
        if (pClient->GetResponseHead(head)) m_head = vn::strutf8(head).c_str();
        pClient->GetBodyCounts(m_wireBytes, m_decodedBytes);
        // The memory body is valid until the client is stopped or reused, both of which
        // happen on this thread, so it is written out here.
        const void* data = nullptr;
        unsigned int len = 0;
        if (m_toStdout && pClient->GetDownloadedBuffer(data, len) && len > 0) {
            m_bodyBytes = len;
            if (fwrite(data, 1, len, stdout) != len || fflush(stdout) != 0) m_stdoutFailed = true;
        }
        m_finished.Post();
    }

    void Touch() { m_lastActivityMs.store(NowMs(), std::memory_order_relaxed); }

    std::atomic<unsigned long long> m_done{0};
    std::atomic<unsigned long long> m_total{0};
    std::atomic<unsigned long long> m_resumedFrom{0};  // bytes the target held already
    std::atomic<uint64_t> m_lastActivityMs{0};
    CVNEvent m_finished{1, 0};
    // Written before m_finished is posted.
    unsigned m_code = 2;
    uint64_t m_quietMs = 0;
    std::string m_head;
    unsigned long long m_bodyBytes = 0;
    // The answer body as it came (coded) and as it was stored (decoded).
    unsigned long long m_wireBytes = 0;
    unsigned long long m_decodedBytes = 0;
    bool m_stdoutFailed = false;
    int m_tlsReason = VNTLS_NONE;  // with m_tlsText: why TLS was refused (result 11)
    std::string m_tlsText;

private:
    bool m_toStdout;
    bool m_upload;
};

// The status and reason of the answer head the client kept, read by the library's own
// rules; 0 without one.
unsigned StatusOf(const std::string& head, std::string* reason) {
    CHttpHead h;
    size_t used = 0;
    if (h.ParseResponse(head.data(), head.size(), head.size() + 1, &used) != CHttpHead::kComplete) {
        return 0;
    }
    *reason = h.GetReason().c_str();
    return h.GetStatus();
}

bool ConfigureProxy(const std::string& proxy, std::string* error) {
    UrlParts p;
    if (!SplitUrl(proxy, &p, error)) return false;
    VNProxyType type;
    if (p.scheme == "http") {
        type = VNPROXY_HTTP;
    } else if (p.scheme == "socks5" || p.scheme == "socks5h") {
        type = VNPROXY_SOCKS5;
    } else {
        *error = "proxy scheme must be http, socks5 or socks5h: " + proxy;
        return false;
    }
    if (p.port == 0) {
        *error = "proxy needs a port: " + proxy;
        return false;
    }
    // curl's meaning: socks5h hands the proxy the URL's host name, socks5 an address
    // resolved here. An IPv6 proxy address comes without its brackets.
    if (type == VNPROXY_SOCKS5) VNSetGlobalProxyRemoteNames(p.scheme == "socks5h");
    VNSetGlobalProxyInfo(type, p.host.c_str(), p.port, p.user.c_str(), p.password.c_str());
    return true;
}

// Whether the answer body goes to standard output (get and any-method requests without -o;
// a post always prints its answer).
bool AnswerToStdout(const TransferOptions& o) {
    return (o.kind != TransferOptions::kGet && o.kind != TransferOptions::kRequest) ||
           o.outFile.empty();
}

// Whether the request sends a body of the user's: its progress is the upload's.
bool SendsBody(const TransferOptions& o) {
    return o.kind != TransferOptions::kGet &&
           (o.kind != TransferOptions::kRequest || !o.filePath.empty() || !o.data.empty());
}

bool HasHeader(const TransferOptions& o, const char* name) {
    for (const auto& h : o.headers) {
        if (strcasecmp(h.first.c_str(), name) == 0) return true;
    }
    return false;
}

bool StartRequest(IHttpClient* client, const TransferOptions& o) {
    vn::strutf16 url(o.url.c_str());
    switch (o.kind) {
        case TransferOptions::kGet:
            if (o.outFile.empty()) return client->Download(url, nullptr) != 0;
            return client->Download(url, vn::strutf16(o.outFile.c_str()), nullptr,
                                    o.resume ? 1 : 0) != 0;
        case TransferOptions::kPostData:
            // An empty body is still a POST: the client refuses a zero-length upload.
            return client->HttpRequestToBuffer(url, HTTPMETHOD_POST, o.data.data(),
                                               static_cast<unsigned>(o.data.size())) != 0;
        case TransferOptions::kPostFile:
            return client->Upload(url, vn::strutf16(o.filePath.c_str())) != 0;
        case TransferOptions::kRequest: {
            vn::strutf16 answer(o.outFile.c_str());
            if (!o.filePath.empty()) {
                return client->HttpRequestFile(url, o.method.c_str(),
                                               vn::strutf16(o.filePath.c_str()), answer) != 0;
            }
            return client->HttpRequest(url, o.method.c_str(), o.data.data(),
                                       static_cast<unsigned>(o.data.size()), answer) != 0;
        }
        case TransferOptions::kPostForm:
            for (const auto& f : o.formFields) {
                client->AddFormData(vn::strutf16(f.first.c_str()), vn::strutf16(f.second.c_str()));
            }
            if (o.formFilePath.empty()) {
                return client->UploadFormData(url, nullptr, nullptr, 0, nullptr) != 0;
            }
            return client->UploadFormData(url,
                                          o.formFileField.empty()
                                              ? kFormFileName
                                              : vn::strutf16(o.formFileField.c_str()).c_str(),
                                          vn::strutf16(o.formFilePath.c_str()).c_str()) != 0;
    }
    return false;
}

// The line naming why the client refused a TLS connection: the reason in the user's terms,
// the library's own text (OpenSSL's words, mostly) and, where one helps, the option that
// changes the verdict.
std::string DescribeTlsFailure(int reason, const std::string& text) {
    const char* what = "the server's certificate was refused";
    const char* hint = "";
    switch (reason) {
        case VNTLS_PROTOCOL:
            what = "the TLS handshake failed";
            break;
        case VNTLS_EXPIRED:
            what = "the server's certificate has expired";
            break;
        case VNTLS_NOT_YET_VALID:
            what = "the server's certificate is not valid yet";
            break;
        case VNTLS_UNKNOWN_ISSUER:
            what = "the server's certificate is from an unknown authority";
            hint = "--cacert FILE trusts one";
            break;
        case VNTLS_NAME_MISMATCH:
            what = "the server's certificate is not for this host";
            break;
        case VNTLS_PIN_MISMATCH:
            what = "the server's public key matches no --pin";
            break;
        default:
            break;
    }
    // The library's words for a pin mismatch would only repeat the line's own.
    std::string detail = reason == VNTLS_PIN_MISMATCH ? std::string() : text;
    if (*hint != '\0') detail += (detail.empty() ? "" : "; ") + std::string(hint);
    return std::string(what) + (detail.empty() ? "" : " (" + detail + ")");
}

}  // namespace

int ClassifyResult(unsigned code, unsigned status, const std::string& reason,
                   unsigned long long quietMs, unsigned long long timeoutMs,
                   const std::string& what, const std::string& tlsFailure, std::string* message) {
    std::string answer =
        status == 0 ? std::string()
                    : "HTTP " + std::to_string(status) + (reason.empty() ? "" : " " + reason);
    switch (code) {
        case 0:
            if (status >= 400) {  // a 500 answer is received like a 200 one
                *message = "the server answered " + answer;
                return 2;
            }
            return 0;
        case 1:
            *message = "not modified (HTTP 304)";
            return 1;
        case 3:
            *message = status != 0 ? "unauthorized (" + answer + ")"
                                   : "the connection closed before an answer arrived";
            return 3;
        case 4:
            *message = "writing " + what + " failed";
            return 4;
        case 5:
            // The client ends a silent server and a refused connection alike; what had
            // happened last tells them apart.
            if (quietMs + timeoutMs / 10 >= timeoutMs) {
                *message =
                    "time-out: nothing happened for " + std::to_string(timeoutMs / 1000) + " s";
                return kExitTimeout;
            }
            *message = "could not connect (refused or unreachable)";
            return 5;
        case 7:
            // The client also ends a redirect from https:// to plain http:// this way.
            *message = status == 404 ? "not found (HTTP 404)"
                                     : "not found (bad redirect: no usable Location, or one "
                                       "leading from https:// to http://)";
            return 7;
        case 8:
            *message = "service unavailable (" + (answer.empty() ? "HTTP 503" : answer) + ")";
            return 8;
        case 10:
            *message = "bad URL or unreadable upload source";
            return 10;
        case 11:
            *message = "TLS failed: " + (tlsFailure.empty() ? std::string("the handshake or the "
                                                                          "certificate was refused")
                                                            : tlsFailure);
            return 11;
        default:
            *message = status >= 300 ? "the server answered " + answer
                                     : "the transfer failed (malformed answer, too many "
                                       "redirects or retries)";
            return 2;
    }
}

namespace {

// What can be checked before the library is involved: 0, or the exit status.
int CheckRequest(const TransferOptions& o) {
    std::string error;
    UrlParts parts;
    if (!SplitUrl(o.url, &parts, &error)) {
        fprintf(stderr, "vnhttp: %s\n", error.c_str());
        return 10;
    }
    // A bracketed IPv6 host passes as it is: the client reads the URL itself.
    if ((parts.scheme != "http" && parts.scheme != "https") || !parts.user.empty() ||
        !parts.password.empty()) {
        fprintf(stderr,
                "vnhttp: only http:// and https://host[:port]/path URLs (without user:password@) "
                "are supported: %s\n",
                o.url.c_str());
        return 10;
    }
    if (!o.filePath.empty() || !o.formFilePath.empty()) {
        const std::string& path = !o.filePath.empty() ? o.filePath : o.formFilePath;
        if (access(path.c_str(), R_OK) != 0) {
            fprintf(stderr, "vnhttp: cannot read %s: %s\n", path.c_str(), strerror(errno));
            return 10;
        }
    }
    if (!o.proxy.empty() && !ConfigureProxy(o.proxy, &error)) {
        fprintf(stderr, "vnhttp: %s\n", error.c_str());
        return kExitUsage;
    }
    return 0;
}

// The TLS settings, which apply to https:// URLs only; 0, or kExitUsage (reported) for
// one the client refuses. The client reads these files when the first request needs them,
// so the setters' own check of them is the one chance to name the option at fault.
int ConfigureTls(IHttpClient* client, const TransferOptions& o) {
    const char* const kHelpHint = "(vnhttp --help for help)";
    if (!o.caFile.empty() && !client->SetTlsCaFile(o.caFile.c_str())) {
        fprintf(stderr, "vnhttp: --cacert: not a readable file: %s\n%s\n", o.caFile.c_str(),
                kHelpHint);
        return kExitUsage;
    }
    if (!o.caPath.empty() && !client->SetTlsCaPath(o.caPath.c_str())) {
        fprintf(stderr, "vnhttp: --capath: not a readable directory: %s\n%s\n", o.caPath.c_str(),
                kHelpHint);
        return kExitUsage;
    }
    // Each --pin is tried alone first so that the message names the one at fault; the
    // client then takes them all at once.
    std::string pins;
    for (const std::string& pin : o.pins) {
        if (!client->SetTlsPins(pin.c_str())) {
            fprintf(stderr,
                    "vnhttp: --pin needs sha256// and the Base64 of 32 bytes (44 characters): "
                    "%s\n%s\n",
                    pin.c_str(), kHelpHint);
            return kExitUsage;
        }
        pins += (pins.empty() ? "" : ";") + pin;
    }
    if (!pins.empty() && !client->SetTlsPins(pins.c_str())) {
        fprintf(stderr, "vnhttp: the --pin list was refused: %s\n%s\n", pins.c_str(), kHelpHint);
        return kExitUsage;
    }
    if (!o.verify) client->SetTlsVerify(0);
    return 0;
}

// The --resolve entries; 0, or kExitUsage (reported) for one the client's parser refuses.
int ConfigureResolve(IHttpClient* client, const TransferOptions& o) {
    for (const std::string& entry : o.resolves) {
        if (!client->AddResolve(entry.c_str())) {
            fprintf(stderr,
                    "vnhttp: --resolve needs HOST:PORT:ADDR[,ADDR...] with numeric addresses: "
                    "'%s'\n(vnhttp --help for help)\n",
                    entry.c_str());
            return kExitUsage;
        }
    }
    return 0;
}

// The headers the tool adds unless the user gave them, then the user's; false (reported)
// when the client refuses one.
bool AddHeaders(IHttpClient* client, const TransferOptions& o) {
    if (!HasHeader(o, "User-Agent")) {
        client->AddHeader(vn::strutf16(u"User-Agent"), vn::strutf16("vnhttp/" VNHTTP_VERSION));
    }
    // A body of any method is labelled as post labels it.
    bool dataBody = o.kind == TransferOptions::kPostData ||
                    (o.kind == TransferOptions::kRequest && o.filePath.empty() && !o.data.empty());
    bool fileBody = o.kind == TransferOptions::kPostFile ||
                    (o.kind == TransferOptions::kRequest && !o.filePath.empty());
    if (dataBody && !HasHeader(o, "Content-Type")) {
        client->AddHeader(vn::strutf16(u"Content-Type"),
                          vn::strutf16(u"application/x-www-form-urlencoded"));
    } else if (fileBody && !HasHeader(o, "Content-Type")) {
        client->AddHeader(vn::strutf16(u"Content-Type"), vn::strutf16(u"application/octet-stream"));
    }
    bool ok = true;
    for (const auto& h : o.headers) {
        if (!client->AddHeader(vn::strutf16(h.first.c_str()), vn::strutf16(h.second.c_str()))) {
            fprintf(stderr, "vnhttp: header refused: %s: %s\n", h.first.c_str(), h.second.c_str());
            ok = false;
        }
    }
    return ok;
}

enum WaitResult { kWaitFinished, kWaitInterrupted, kWaitWatchdog };

// Waits for the completion in 100 ms slices, redrawing the progress and watching Ctrl-C; a
// last bound ends the wait when nothing at all happens for watchdogMs.
WaitResult WaitForCompletion(TransferSink& sink, ProgressMeter& meter, uint64_t watchdogMs) {
    while (!sink.m_finished.Wait(100)) {
        if (g_stopSignal.load(std::memory_order_relaxed) != 0) return kWaitInterrupted;
        uint64_t now = NowMs();
        meter.Update(now, sink.m_done.load(std::memory_order_relaxed),
                     sink.m_total.load(std::memory_order_relaxed));
        // The sink stamps activity on its own thread, possibly after `now` was read.
        uint64_t last = sink.m_lastActivityMs.load(std::memory_order_relaxed);
        if (now > last && now - last > watchdogMs) return kWaitWatchdog;
    }
    return kWaitFinished;
}

// The bytes the finished transfer moved (the last progress report may precede the last
// bytes, so the result counts them itself).
unsigned long long MovedBytes(const TransferOptions& o, const TransferSink& sink, bool toStdout) {
    struct stat st;
    if (!toStdout && !SendsBody(o)) {
        return stat(o.outFile.c_str(), &st) == 0 ? static_cast<unsigned long long>(st.st_size)
                                                 : sink.m_done.load();
    }
    if (!SendsBody(o)) return sink.m_bodyBytes;
    if (o.kind == TransferOptions::kPostData ||
        (o.kind == TransferOptions::kRequest && o.filePath.empty())) {
        return o.data.size();
    }
    const std::string& path = !o.filePath.empty() ? o.filePath : o.formFilePath;
    return stat(path.c_str(), &st) == 0 ? static_cast<unsigned long long>(st.st_size)
                                        : sink.m_done.load();
}

// The exit status of a completed request, with its progress line and its message.
int Report(const TransferOptions& o, const TransferSink& sink, ProgressMeter& meter,
           unsigned timeoutMs, bool outFileExisted) {
    bool toStdout = AnswerToStdout(o);
    unsigned long long done = sink.m_done.load(std::memory_order_relaxed);
    unsigned long long total = sink.m_total.load(std::memory_order_relaxed);
    unsigned long long resumedFrom = sink.m_resumedFrom.load(std::memory_order_relaxed);
    std::string reason, message;
    unsigned httpStatus = StatusOf(sink.m_head, &reason);
    std::string tlsFailure = sink.m_code == HTTPRESULT_TLS_FAILED
                                 ? DescribeTlsFailure(sink.m_tlsReason, sink.m_tlsText)
                                 : std::string();
    int exitStatus =
        ClassifyResult(sink.m_code, httpStatus, reason, sink.m_quietMs, timeoutMs,
                       toStdout ? std::string("the answer to memory (at most about 97 MiB; "
                                              "use -o FILE)")
                                : o.outFile,
                       tlsFailure, &message);
    // A coded body: the figures so far were the wire bytes against the announced (coded)
    // length; the summary counts what was stored and names the wire bytes beside it.
    bool coded = !SendsBody(o) && sink.m_wireBytes != sink.m_decodedBytes;
    if (exitStatus == 0) {
        done = MovedBytes(o, sink, toStdout);
        // Any other method's answer may announce a length it does not carry (HEAD).
        if (total == 0 || coded || o.kind == TransferOptions::kRequest) total = done;
    }
    meter.Finish(NowMs(), done, total, done - std::min(done, resumedFrom), exitStatus == 0,
                 coded ? sink.m_wireBytes : 0);
    if (exitStatus == 0 && sink.m_stdoutFailed) {
        message = "writing to standard output failed";
        exitStatus = 4;
    }
    struct stat st;
    if (exitStatus != 0 && !toStdout && !outFileExisted && stat(o.outFile.c_str(), &st) == 0 &&
        st.st_size == 0) {
        unlink(o.outFile.c_str());  // a body began but brought nothing
    }
    if (exitStatus != 0) fprintf(stderr, "vnhttp: %s: %s\n", message.c_str(), o.url.c_str());
    return exitStatus;
}

const off_t kMaxCookieFile = 64 << 20;

// Hands the tool's reference to the cookie store back.
struct JarRelease {
    void operator()(IHttpCookieJar* jar) const { jar->Release(); }
};
using JarHolder = std::unique_ptr<IHttpCookieJar, JarRelease>;

// Fills the store from a cookie file; a file that does not exist yet is an empty store, as
// it is for curl -c. False (reported) when the file is there but is no regular file, cannot
// be read or is not a cookie file: it is saved over afterwards, so a mistyped name must not
// cost the user another file, nor a device or FIFO be replaced (or blocked on).
bool LoadJar(IHttpCookieJar* jar, const std::string& file) {
    struct stat st;
    if (stat(file.c_str(), &st) != 0) {
        if (errno == ENOENT) return true;
        fprintf(stderr, "vnhttp: --cookie-jar: cannot read %s: %s\n", file.c_str(),
                strerror(errno));
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        fprintf(stderr, "vnhttp: --cookie-jar: %s is not a regular file\n", file.c_str());
        return false;
    }
    // The store keeps a few thousand cookies of a few KiB at most: anything far larger is
    // something else, and is not read into memory to find that out.
    if (st.st_size > kMaxCookieFile) {
        fprintf(stderr, "vnhttp: --cookie-jar: %s is too large for a cookie file\n", file.c_str());
        return false;
    }
    std::string text;
    int readError = 0;
    if (FILE* f = fopen(file.c_str(), "rb")) {  // closed here
        char buffer[65536];
        size_t n;
        while ((n = fread(buffer, 1, sizeof(buffer), f)) > 0)
            text.append(buffer, n);
        if (ferror(f)) readError = errno != 0 ? errno : EIO;
        fclose(f);
    } else {
        readError = errno;
    }
    if (readError != 0) {
        fprintf(stderr, "vnhttp: --cookie-jar: cannot read %s: %s\n", file.c_str(),
                strerror(readError));
        return false;
    }
    size_t badLine = 0;
    if (!LooksLikeCookieFile(text, &badLine)) {
        fprintf(stderr,
                "vnhttp: --cookie-jar: %s is not a cookie file (line %zu); it is left as it "
                "is\n",
                file.c_str(), badLine);
        return false;
    }
    if (jar->Load(file.c_str())) return true;
    fprintf(stderr, "vnhttp: --cookie-jar: cannot read %s as a cookie file\n", file.c_str());
    return false;
}

// The request itself, from creating the client to its deletion; returns the exit status.
int RunClient(const TransferOptions& o, IHttpCookieJar* jar) {
    bool toStdout = AnswerToStdout(o);
    bool outFileExisted = !toStdout && access(o.outFile.c_str(), F_OK) == 0;
    TransferSink sink(toStdout, SendsBody(o));
    CVNTaskBase* task = new CVNTaskBase("vnhttp", 50, 1);  // released below
    IHttpClient* client = nullptr;                         // deleted on "vnhttp" below
    if (task->Start()) client = vn_create_httpclient(task);
    if (client == nullptr) {
        fprintf(stderr, "vnhttp: the HTTP client could not be created\n");
        task->Stop();
        task->Release();
        return kExitSoftware;
    }
    unsigned timeoutMs = o.timeoutSeconds * 1000;
    client->SetSink(&sink);
    client->SetTimeout(timeoutMs, timeoutMs, o.retries);
    client->SetNotifyMask(HTTPNOTIFY_CONNECTING | HTTPNOTIFY_CONNECTED | HTTPNOTIFY_DOWNLOADSTART |
                          HTTPNOTIFY_PROGRESS);
    client->SetResumeDownload(o.resume ? 1 : 0);
    client->SetCompressed(o.compressed ? 1 : 0);
    client->SetRateLimit(o.rateLimit, o.rateLimit);
    if (jar != nullptr) {
        client->SetUseCookie(1);
        client->SetCookieJar(jar);  // the client holds its own reference until deleted
    }
    int status = ConfigureTls(client, o);
    if (status == 0) status = ConfigureResolve(client, o);
    if (status == 0 && !AddHeaders(client, o)) status = kExitUsage;
    // The start call is made here, before any notification can run on "vnhttp": the
    // client's setters and its running flag are plain fields.
    if (status == 0 && !StartRequest(client, o)) {
        fprintf(stderr, "vnhttp: the request was refused (bad URL or arguments)\n");
        status = 10;
    }

    ProgressMeter meter(o.silent                     ? ProgressMeter::kSilent
                        : isatty(STDERR_FILENO) != 0 ? ProgressMeter::kTerminal
                                                     : ProgressMeter::kLines,
                        stderr);
    meter.Begin(NowMs());
    // A last bound in case a completion never came: the client's own time-outs end every
    // request well before it.
    const uint64_t watchdogMs = 2ull * timeoutMs + 5000;
    WaitResult waited = status == 0 ? WaitForCompletion(sink, meter, watchdogMs) : kWaitFinished;
    // Stop and delete the client on its notification thread, so no sink call can be
    // running meanwhile; whatever it still had queued for itself is dropped with it.
    if (!RunOnTask(
            task,
            [client] {
                client->Stop();
                delete client;
            },
            10000)) {
        fprintf(stderr, "vnhttp: the HTTP client did not stop\n");
        fflush(stderr);
        _exit(kExitSoftware);
    }
    task->Stop();
    task->Release();
    if (status != 0) return status;
    if (waited != kWaitFinished) {
        unsigned long long done = sink.m_done.load(std::memory_order_relaxed);
        meter.Finish(NowMs(), done, sink.m_total.load(std::memory_order_relaxed),
                     done - std::min(done, sink.m_resumedFrom.load()), false);
        if (waited == kWaitInterrupted) {
            fprintf(
                stderr, "vnhttp: interrupted%s\n",
                o.kind == TransferOptions::kGet && !o.outFile.empty() ? " (resume with -c)" : "");
            return kExitInterrupted;
        }
        fprintf(stderr, "vnhttp: time-out: nothing happened for %llu s\n",
                static_cast<unsigned long long>(watchdogMs / 1000));
        return kExitTimeout;
    }
    return Report(o, sink, meter, timeoutMs, outFileExisted);
}

}  // namespace

int RunTransfer(const TransferOptions& o) {
    if (int status = CheckRequest(o)) return status;
    SetLibraryLog(o.libraryLogLevel);
    JarHolder jar;
    if (o.cookies || !o.cookieJar.empty()) {
        jar.reset(vn_create_cookiejar());
        if (!jar) {
            fprintf(stderr, "vnhttp: the cookie store could not be created\n");
            return kExitSoftware;
        }
        if (!o.cookieJar.empty() && !LoadJar(jar.get(), o.cookieJar)) return kExitUsage;
    }
    int status = RunClient(o, jar.get());
    // Saved whatever the outcome (an answer that failed may still have set cookies), as
    // curl -c does; the client is gone, so the store no longer changes.
    if (!o.cookieJar.empty() && !jar->Save(o.cookieJar.c_str())) {
        fprintf(stderr, "vnhttp: --cookie-jar: cannot write %s\n", o.cookieJar.c_str());
        if (status == 0) status = 4;
    }
    return status;
}

}  // namespace vnhttp
