// `vnhttp get` and `vnhttp post` (see transfer.h).
//
// Threads: the main thread sets the clients up and waits for the completions in 100 ms
// slices, redrawing the progress display and watching the Ctrl-C flag. The clients'
// notifications, the collection of their results and their deletion run on the tool's own
// task thread "vnhttp", one for every client of a run (a run of several URLs also starts
// its requests there, see Batch); each client's network work runs on its private
// "HttpClient" thread. So a run has the main thread, "vnhttp" and one "HttpClient" thread
// per transfer at once. The cookie store is the main thread's: it loads it before any
// client exists and saves it once the last is gone; the clients share it meanwhile (it
// locks itself).
#include "transfer.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <strings.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

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

class Batch;
// Tells the run of several transfers that the request of its transfer `index` completed.
void NotifyBatch(Batch* batch, size_t index);

// The client's sink; every call runs on "vnhttp". The main thread reads the atomics while
// the request runs, and the plain fields only after m_finished was posted or m_complete
// read true.
class TransferSink : public IHttpClientSink {
public:
    // batch, index: the run and the transfer this sink is for; null for a lone transfer.
    TransferSink(bool toStdout, bool upload, Batch* batch = nullptr, size_t index = 0)
        : m_toStdout(toStdout), m_upload(upload), m_batch(batch), m_index(index) {
        Touch();
    }

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
        m_complete.store(true, std::memory_order_release);  // publishes the fields above
        m_finished.Post();
        if (m_batch != nullptr) NotifyBatch(m_batch, m_index);  // may start another request
    }

    void Touch() { m_lastActivityMs.store(NowMs(), std::memory_order_relaxed); }
    // Whether nothing happened for more than ms before now. The sink stamps activity on its
    // own thread, possibly after `now` was read.
    bool QuietLongerThan(uint64_t now, uint64_t ms) const {
        uint64_t last = m_lastActivityMs.load(std::memory_order_relaxed);
        return now > last && now - last > ms;
    }

    std::atomic<unsigned long long> m_done{0};
    std::atomic<unsigned long long> m_total{0};
    std::atomic<unsigned long long> m_resumedFrom{0};  // bytes the target held already
    std::atomic<uint64_t> m_lastActivityMs{0};
    CVNEvent m_finished{1, 0};
    std::atomic<bool> m_complete{false};
    // Written before m_finished is posted and m_complete set.
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
    Batch* m_batch;
    size_t m_index;
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

// Whether the tool can fetch url; false (reported) if not.
bool CheckUrl(const std::string& url) {
    std::string error;
    UrlParts parts;
    if (!SplitUrl(url, &parts, &error)) {
        fprintf(stderr, "vnhttp: %s\n", error.c_str());
        return false;
    }
    // A bracketed IPv6 host passes as it is: the client reads the URL itself.
    if ((parts.scheme != "http" && parts.scheme != "https") || !parts.user.empty() ||
        !parts.password.empty()) {
        fprintf(stderr,
                "vnhttp: only http:// and https://host[:port]/path URLs (without user:password@) "
                "are supported: %s\n",
                url.c_str());
        return false;
    }
    return true;
}

// What can be checked before the library is involved, besides the URL: 0, or the exit
// status.
int CheckSources(const TransferOptions& o) {
    std::string error;
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

int CheckRequest(const TransferOptions& o) {
    return CheckUrl(o.url) ? CheckSources(o) : 10;
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
        if (sink.QuietLongerThan(now, watchdogMs)) return kWaitWatchdog;
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

// How a completed request went: the exit status, the line naming the cause of a failure,
// and the figures of its last progress report.
struct Outcome {
    int status = 0;
    bool received = false;  // the answer came whole (writing it out may still have failed)
    std::string message;
    unsigned long long done = 0;
    unsigned long long total = 0;
    unsigned long long moved = 0;  // what this run transferred (a resumed body's new bytes)
    unsigned long long wire = 0;   // a coded body's bytes on the wire, 0 for none
};

Outcome Evaluate(const TransferOptions& o, const TransferSink& sink, unsigned timeoutMs,
                 bool outFileExisted) {
    Outcome r;
    bool toStdout = AnswerToStdout(o);
    r.done = sink.m_done.load(std::memory_order_relaxed);
    r.total = sink.m_total.load(std::memory_order_relaxed);
    unsigned long long resumedFrom = sink.m_resumedFrom.load(std::memory_order_relaxed);
    std::string reason;
    unsigned httpStatus = StatusOf(sink.m_head, &reason);
    std::string tlsFailure = sink.m_code == HTTPRESULT_TLS_FAILED
                                 ? DescribeTlsFailure(sink.m_tlsReason, sink.m_tlsText)
                                 : std::string();
    r.status = ClassifyResult(sink.m_code, httpStatus, reason, sink.m_quietMs, timeoutMs,
                              toStdout ? std::string("the answer to memory (at most about 97 MiB; "
                                                     "use -o FILE)")
                                       : o.outFile,
                              tlsFailure, &r.message);
    // A coded body: the figures so far were the wire bytes against the announced (coded)
    // length; the summary counts what was stored and names the wire bytes beside it.
    bool coded = !SendsBody(o) && sink.m_wireBytes != sink.m_decodedBytes;
    r.received = r.status == 0;
    if (r.received) {
        r.done = MovedBytes(o, sink, toStdout);
        // Any other method's answer may announce a length it does not carry (HEAD).
        if (r.total == 0 || coded || o.kind == TransferOptions::kRequest) r.total = r.done;
    }
    r.moved = r.done - std::min(r.done, resumedFrom);
    r.wire = coded ? sink.m_wireBytes : 0;
    if (r.status == 0 && sink.m_stdoutFailed) {
        r.message = "writing to standard output failed";
        r.status = 4;
    }
    struct stat st;
    if (r.status != 0 && !toStdout && !outFileExisted && stat(o.outFile.c_str(), &st) == 0 &&
        st.st_size == 0) {
        unlink(o.outFile.c_str());  // a body began but brought nothing
    }
    return r;
}

// The exit status of a completed request, with its progress line and its message.
int Report(const TransferOptions& o, const TransferSink& sink, ProgressMeter& meter,
           unsigned timeoutMs, bool outFileExisted) {
    Outcome r = Evaluate(o, sink, timeoutMs, outFileExisted);
    meter.Finish(NowMs(), r.done, r.total, r.moved, r.received, r.wire);
    if (r.status != 0) fprintf(stderr, "vnhttp: %s: %s\n", r.message.c_str(), o.url.c_str());
    return r.status;
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

// A last bound in case a completion never came: the client's own time-outs end every
// request well before it.
uint64_t WatchdogMs(const TransferOptions& o) {
    return 2ull * o.timeoutSeconds * 1000 + 5000;
}

ProgressMeter::Mode MeterMode(const TransferOptions& o) {
    return o.silent                     ? ProgressMeter::kSilent
           : isatty(STDERR_FILENO) != 0 ? ProgressMeter::kTerminal
                                        : ProgressMeter::kLines;
}

// Stops and deletes clients on their notification thread, so no sink call can be running
// meanwhile; whatever they still had queued for themselves is dropped with them. Waits for
// it: a client that does not stop leaves nothing to return to, and the tool exits.
void DeleteClientsAndWait(CVNTaskBase* task, const std::vector<IHttpClient*>& clients) {
    if (!RunOnTask(
            task,
            [&clients] {
                for (IHttpClient* client : clients) {
                    client->Stop();
                    delete client;
                }
            },
            30000)) {
        fprintf(stderr, "vnhttp: the HTTP client did not stop\n");
        fflush(stderr);
        _exit(kExitSoftware);
    }
}

// A new client that notifies on task, with the settings of o that outlast a request (time-
// outs, codings, rate, cookie store, TLS, --resolve). Null with *status set (reported) when
// no client could be made (70) or a setting was refused (64).
IHttpClient* CreateClient(CVNTaskBase* task, const TransferOptions& o, IHttpCookieJar* jar,
                          int* status) {
    IHttpClient* client = vn_create_httpclient(task);  // the caller's, deleted on task
    if (client == nullptr) {
        fprintf(stderr, "vnhttp: the HTTP client could not be created\n");
        *status = kExitSoftware;
        return nullptr;
    }
    unsigned timeoutMs = o.timeoutSeconds * 1000;
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
    *status = ConfigureTls(client, o);
    if (*status == 0) *status = ConfigureResolve(client, o);
    if (*status != 0) {
        DeleteClientsAndWait(task, {client});
        return nullptr;
    }
    return client;
}

// Starts o's request on an idle client with sink as its sink: the headers (the client drops
// them after each request) and the start call. 0, or the exit status with *message naming
// the cause (a header the client refuses has been reported already). The start call is the
// last call made on the client: its notifications may run on "vnhttp" as soon as it is made.
int StartOn(IHttpClient* client, const TransferOptions& o, TransferSink* sink,
            std::string* message) {
    client->SetSink(sink);
    if (!AddHeaders(client, o)) {
        client->ClearHeaders();
        *message = "a header was refused";
        return kExitUsage;
    }
    if (!StartRequest(client, o)) {
        client->ClearHeaders();
        *message = "the request was refused (bad URL or arguments)";
        return 10;
    }
    return 0;
}

// The request itself, from creating the client to its deletion; returns the exit status.
int RunClient(const TransferOptions& o, IHttpCookieJar* jar) {
    bool toStdout = AnswerToStdout(o);
    bool outFileExisted = !toStdout && access(o.outFile.c_str(), F_OK) == 0;
    TransferSink sink(toStdout, SendsBody(o));
    CVNTaskBase* task = new CVNTaskBase("vnhttp", 50, 1);  // released below
    int status = kExitSoftware;
    IHttpClient* client = nullptr;  // deleted on "vnhttp" below
    if (task->Start()) {
        client = CreateClient(task, o, jar, &status);
    } else {
        fprintf(stderr, "vnhttp: the HTTP client could not be created\n");
    }
    if (client == nullptr) {
        task->Stop();
        task->Release();
        return status;
    }
    std::string refused;
    status = StartOn(client, o, &sink, &refused);
    if (status == 10) fprintf(stderr, "vnhttp: %s: %s\n", refused.c_str(), o.url.c_str());

    ProgressMeter meter(MeterMode(o), stderr);
    meter.Begin(NowMs());
    unsigned timeoutMs = o.timeoutSeconds * 1000;
    const uint64_t watchdogMs = WatchdogMs(o);
    WaitResult waited = status == 0 ? WaitForCompletion(sink, meter, watchdogMs) : kWaitFinished;
    DeleteClientsAndWait(task, {client});
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

// One transfer of a run of several. The options are set before the run; the rest is
// written on "vnhttp" (where its request starts and ends) and read by the main thread
// once the transfer is on the list of ended ones (Batch::m_ended, under its lock).
struct Transfer {
    TransferOptions options;
    std::unique_ptr<TransferSink> sink;  // from its start until the run is over
    bool outFileExisted = false;
    int startStatus = 0;  // not 0: the request could not be started, for startMessage
    std::string startMessage;
    bool timedOut = false;  // ended by the watchdog, without a completion
};

// The transfers a run may keep in flight with the descriptors it may open: each holds a
// socket, its output file and its client's wake-up descriptor, a few more come and go (a
// TLS authority file, a redirect's new connection), and the process keeps some of its own.
// The soft limit is raised towards the hard one when that is what it takes.
unsigned FitToDescriptorLimit(unsigned parallel) {
    const rlim_t kPerTransfer = 4, kReserve = 64;
    struct rlimit rl;
    if (getrlimit(RLIMIT_NOFILE, &rl) != 0) return parallel;
    rlim_t want = kReserve + kPerTransfer * parallel;
    if (rl.rlim_cur != RLIM_INFINITY && rl.rlim_cur < want) {
        struct rlimit raised = rl;
        raised.rlim_cur = rl.rlim_max == RLIM_INFINITY ? want : std::min(want, rl.rlim_max);
        if (setrlimit(RLIMIT_NOFILE, &raised) == 0) rl = raised;
    }
    if (rl.rlim_cur == RLIM_INFINITY || rl.rlim_cur >= want) return parallel;
    unsigned fits = rl.rlim_cur > kReserve + kPerTransfer
                        ? static_cast<unsigned>((rl.rlim_cur - kReserve) / kPerTransfer)
                        : 1;
    fprintf(stderr, "vnhttp: %u transfers at once at most: the descriptor limit is %llu\n", fits,
            static_cast<unsigned long long>(rl.rlim_cur));
    return fits;
}

// A run of several transfers on a few clients: each client (a "slot") runs one request at
// a time and, when it ends, takes the next URL not yet started, as the library lets a sink
// do; the kept connection then carries the next request to the same server. So at most
// `parallel` requests run at once, the next starting as one ends, on `parallel` clients and
// their "HttpClient" threads, whatever the number of URLs.
//
// Threads: the main thread creates and sets up the clients, then hands them to "vnhttp",
// where every start, stop and deletion happens from then on (the first requests too), so
// nothing touches a client while one of its notifications runs. The main thread reads the
// ended transfers off m_ended, and the running ones' progress through the sinks' atomics,
// draws progress, watches Ctrl-C and the watchdog, and asks "vnhttp" to act.
class Batch {
public:
    Batch(CVNTaskBase* task, std::vector<Transfer>& transfers, IHttpCookieJar* jar)
        : m_task(task), m_transfers(transfers), m_jar(jar) {}

    // Runs every transfer, `parallel` at once; returns the exit status. Main thread.
    int Run(unsigned parallel);
    // "vnhttp", from the sink of transfers[index]: its request completed and the sink's
    // fields are written; the client is idle.
    void OnCompleted(size_t index);

private:
    struct Slot {
        IHttpClient* client = nullptr;  // deleted on "vnhttp" (DeleteClientsAndWait)
        // The transfer whose request runs on the client; null when none. Written on
        // "vnhttp", read by the main thread for the progress and the watchdog.
        std::atomic<Transfer*> current{nullptr};
    };

    // "vnhttp": starts the next transfers on the slot until one runs or none is left.
    void StartNext(Slot* slot);
    // "vnhttp": transfers[index] ended (whichever way); the main thread reads it next.
    void Ended(size_t index);
    // Main thread: the results of the transfers that ended since the last call, counted
    // and reported in the order they ended.
    void CollectEnded();
    // Main thread: ends a request of slot that shows no sign of life, on "vnhttp", unless it
    // completed meanwhile; the slot goes on with a fresh client.
    void EndStale(Slot* slot, Transfer* stale);
    void Fail(const Transfer& t, int status, const std::string& message);
    // What the running transfers have moved so far.
    unsigned long long MovedByRunning() const;

    CVNTaskBase* m_task;
    std::vector<Transfer>& m_transfers;
    IHttpCookieJar* m_jar;
    std::vector<std::unique_ptr<Slot>> m_slots;
    size_t m_next = 0;  // the next transfer to start; "vnhttp" only once the run started
    std::atomic<bool> m_stopping{false};  // start nothing more (Ctrl-C, or the run is over)
    std::atomic<bool> m_givenUp{false};   // the run cannot go on (no client could be made)

    std::mutex m_lock;
    std::vector<size_t> m_ended;  // guarded by m_lock: in the order the transfers ended
    CVNEvent m_anyEnded{0, 0};    // automatic reset: one wake-up covers any number of ends

    // Main thread only.
    ProgressMeter* m_meter = nullptr;
    unsigned m_succeeded = 0, m_failed = 0;
    unsigned long long m_movedEnded = 0;
    int m_firstFailure = 0;
};

void Batch::Ended(size_t index) {
    {
        std::lock_guard<std::mutex> hold(m_lock);
        m_ended.push_back(index);
    }
    m_anyEnded.Post();
}

void Batch::StartNext(Slot* slot) {
    VN_ASSERT_ON_THREAD(m_task);
    slot->current.store(nullptr, std::memory_order_release);
    while (!m_stopping.load(std::memory_order_relaxed) && m_next < m_transfers.size()) {
        size_t index = m_next++;
        Transfer& t = m_transfers[index];
        t.outFileExisted = access(t.options.outFile.c_str(), F_OK) == 0;
        t.sink = std::make_unique<TransferSink>(false, SendsBody(t.options), this, index);
        // Published before the request can end, and before the main thread looks at it.
        slot->current.store(&t, std::memory_order_release);
        t.startStatus = StartOn(slot->client, t.options, t.sink.get(), &t.startMessage);
        if (t.startStatus == 0) return;
        slot->current.store(nullptr, std::memory_order_release);
        Ended(index);
    }
}

void Batch::OnCompleted(size_t index) {
    VN_ASSERT_ON_THREAD(m_task);
    Ended(index);
    for (const std::unique_ptr<Slot>& slot : m_slots) {
        if (slot->current.load(std::memory_order_relaxed) == &m_transfers[index]) {
            StartNext(slot.get());  // the library takes the next start call from the sink
            return;
        }
    }
}

void Batch::Fail(const Transfer& t, int status, const std::string& message) {
    ++m_failed;
    m_meter->Note("vnhttp: " + message + ": " + t.options.url);
    if (m_firstFailure == 0) m_firstFailure = status;
}

void Batch::CollectEnded() {
    std::vector<size_t> ended;
    {
        std::lock_guard<std::mutex> hold(m_lock);
        ended.swap(m_ended);
    }
    const TransferOptions& base = m_transfers.front().options;
    for (size_t index : ended) {
        const Transfer& t = m_transfers[index];
        if (t.startStatus != 0) {
            Fail(t, t.startStatus, t.startMessage);
        } else if (t.timedOut) {
            Fail(
                t, kExitTimeout,
                "time-out: nothing happened for " + std::to_string(WatchdogMs(base) / 1000) + " s");
        } else {
            Outcome r = Evaluate(t.options, *t.sink, base.timeoutSeconds * 1000, t.outFileExisted);
            m_movedEnded += r.moved;
            if (r.status == 0) {
                ++m_succeeded;
            } else {
                Fail(t, r.status, r.message);
            }
        }
    }
}

unsigned long long Batch::MovedByRunning() const {
    unsigned long long moved = 0;
    for (const std::unique_ptr<Slot>& slot : m_slots) {
        const Transfer* t = slot->current.load(std::memory_order_acquire);
        if (t == nullptr) continue;
        unsigned long long done = t->sink->m_done.load(std::memory_order_relaxed);
        moved += done - std::min(done, t->sink->m_resumedFrom.load(std::memory_order_relaxed));
    }
    return moved;
}

void Batch::EndStale(Slot* slot, Transfer* stale) {
    const TransferOptions& base = m_transfers.front().options;
    int status = 0;
    // The fresh client is made here, where making one is allowed; "vnhttp" swaps it in.
    IHttpClient* fresh = CreateClient(m_task, base, m_jar, &status);
    bool ran = RunOnTask(
        m_task,
        [this, slot, stale, fresh] {
            if (slot->current.load(std::memory_order_relaxed) != stale ||
                stale->sink->m_complete.load(std::memory_order_relaxed)) {
                delete fresh;  // it completed after all, and the slot went on
                return;
            }
            slot->client->Stop();
            delete slot->client;
            slot->client = fresh;
            stale->timedOut = true;
            Ended(static_cast<size_t>(stale - m_transfers.data()));
            if (fresh != nullptr) {
                StartNext(slot);
            } else {
                // Without a client the slot cannot go on, nor perhaps the run: it ends.
                slot->current.store(nullptr, std::memory_order_release);
                m_givenUp.store(true);
            }
        },
        30000);
    if (!ran) {
        fprintf(stderr, "vnhttp: the HTTP client did not stop\n");
        fflush(stderr);
        _exit(kExitSoftware);
    }
}

void NotifyBatch(Batch* batch, size_t index) {
    batch->OnCompleted(index);
}

int Batch::Run(unsigned parallel) {
    const TransferOptions& base = m_transfers.front().options;
    const size_t total = m_transfers.size();
    // Every client has the same settings: one refused is refused for the first, before
    // any request; the headers are tried on it once for the same reason.
    for (unsigned i = 0; i < parallel; ++i) {
        int status = 0;
        IHttpClient* client = CreateClient(m_task, base, m_jar, &status);
        if (client != nullptr && i == 0) {
            if (!AddHeaders(client, base)) status = kExitUsage;
            client->ClearHeaders();
        }
        if (client != nullptr && status == 0) {
            m_slots.push_back(std::make_unique<Slot>());
            m_slots.back()->client = client;
            continue;
        }
        std::vector<IHttpClient*> made;
        for (const std::unique_ptr<Slot>& slot : m_slots)
            made.push_back(slot->client);
        if (client != nullptr) made.push_back(client);
        DeleteClientsAndWait(m_task, made);
        return status;
    }

    ProgressMeter meter(MeterMode(base), stderr);
    m_meter = &meter;
    meter.Begin(NowMs());
    const uint64_t watchdogMs = WatchdogMs(base);
    if (!PostToTask(m_task, [this] {
            for (const std::unique_ptr<Slot>& slot : m_slots)
                StartNext(slot.get());
        })) {
        fprintf(stderr, "vnhttp: the transfers could not be started\n");
        m_givenUp.store(true);
    }
    bool interrupted = false;
    while (m_succeeded + m_failed < total && !m_givenUp.load()) {
        unsigned running = 0;
        for (const std::unique_ptr<Slot>& slot : m_slots) {
            if (slot->current.load(std::memory_order_acquire) != nullptr) ++running;
        }
        meter.UpdateBatch(NowMs(), m_movedEnded + MovedByRunning(), m_succeeded, m_failed, running,
                          static_cast<unsigned>(total));
        m_anyEnded.Wait(100);
        if (g_stopSignal.load(std::memory_order_relaxed) != 0) {
            interrupted = true;
            break;
        }
        CollectEnded();
        uint64_t now = NowMs();
        for (const std::unique_ptr<Slot>& slot : m_slots) {
            Transfer* t = slot->current.load(std::memory_order_acquire);
            if (t == nullptr) continue;
            if (t->sink->QuietLongerThan(now, watchdogMs)) EndStale(slot.get(), t);
        }
    }
    // Nothing more starts; the clients go, and with them every request still running. They
    // are read on "vnhttp", where a stale one may have been swapped for a fresh one.
    m_stopping.store(true);
    if (!RunOnTask(
            m_task,
            [this] {
                for (const std::unique_ptr<Slot>& slot : m_slots) {
                    if (slot->client == nullptr) continue;
                    slot->client->Stop();
                    delete slot->client;
                    slot->client = nullptr;
                }
            },
            30000)) {
        fprintf(stderr, "vnhttp: the HTTP client did not stop\n");
        fflush(stderr);
        _exit(kExitSoftware);
    }
    CollectEnded();  // those that completed before they were stopped count as they came
    unsigned long long partial = MovedByRunning();
    meter.FinishBatch(NowMs(), m_movedEnded + partial, m_succeeded, m_failed,
                      static_cast<unsigned>(total));
    m_meter = nullptr;
    if (interrupted) {
        fprintf(stderr, "vnhttp: interrupted%s\n",
                base.kind == TransferOptions::kGet ? " (resume with -c)" : "");
        return kExitInterrupted;
    }
    if (m_firstFailure == 0 && m_succeeded < total) return kExitSoftware;  // given up
    return m_firstFailure;
}

// Runs run(jar) with the cookie store the options ask for (null for none): loaded from the
// --cookie-jar file before and saved to it after, once, whatever the outcome (an answer
// that failed may still have set cookies), as curl -c does.
int WithCookieStore(const TransferOptions& o, const std::function<int(IHttpCookieJar*)>& run) {
    JarHolder jar;
    if (o.cookies || !o.cookieJar.empty()) {
        jar.reset(vn_create_cookiejar());
        if (!jar) {
            fprintf(stderr, "vnhttp: the cookie store could not be created\n");
            return kExitSoftware;
        }
        if (!o.cookieJar.empty() && !LoadJar(jar.get(), o.cookieJar)) return kExitUsage;
    }
    int status = run(jar.get());
    // Every client is gone by now, so the store no longer changes.
    if (!o.cookieJar.empty() && !jar->Save(o.cookieJar.c_str())) {
        fprintf(stderr, "vnhttp: --cookie-jar: cannot write %s\n", o.cookieJar.c_str());
        if (status == 0) status = 4;
    }
    return status;
}

}  // namespace

int RunTransfer(const TransferOptions& o) {
    if (int status = CheckRequest(o)) return status;
    SetLibraryLog(o.libraryLogLevel);
    return WithCookieStore(o, [&o](IHttpCookieJar* jar) { return RunClient(o, jar); });
}

int RunTransfers(const TransferOptions& base, const std::vector<std::string>& urls,
                 const std::vector<std::string>& outFiles, unsigned parallel) {
    // A URL the tool cannot fetch is a mistake on the command line: it is named before a
    // long run starts, not after it.
    for (const std::string& url : urls) {
        if (!CheckUrl(url)) return 10;
    }
    if (int status = CheckSources(base)) return status;
    SetLibraryLog(base.libraryLogLevel);
    std::vector<Transfer> transfers(urls.size());
    for (size_t i = 0; i < urls.size(); ++i) {
        transfers[i].options = base;
        transfers[i].options.url = urls[i];
        transfers[i].options.outFile = outFiles[i];
    }
    parallel =
        FitToDescriptorLimit(std::max(1u, std::min(parallel, static_cast<unsigned>(urls.size()))));
    return WithCookieStore(base, [&](IHttpCookieJar* jar) {
        CVNTaskBase* task = new CVNTaskBase("vnhttp", 50, 1);  // released below
        if (!task->Start()) {
            fprintf(stderr, "vnhttp: the HTTP client could not be created\n");
            task->Release();
            return static_cast<int>(kExitSoftware);
        }
        int status = Batch(task, transfers, jar).Run(parallel);
        task->Stop();
        task->Release();
        return status;
    });
}

}  // namespace vnhttp
