// Feeds answers to the HTTP client's answer reader the way the client does, chunk by chunk,
// and prints one JSON line per case for response_diff.py to compare with h11 (default); or
// (--client PORT DATA_MS) runs the real client against response_diff.py's scripted origin
// on 127.0.0.1:PORT, one download into memory for each case number read from stdin (one a
// line), and prints its completion code (-1: none came, -2: more than one) and buffer.
//
// Reader mode input on stdin, a sequence of cases, every number a little-endian uint32:
//   len, answer bytes, end (1: the connection ends after the bytes), count, count offsets
// A split offset p delivers the bytes before p as one chunk; offsets ascend.
// Byte strings are printed as lowercase hex, so that any byte survives the JSON.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "base/vnevent.h"
#include "base/vnlog.h"
#include "http/client/vnhttpclient.h"
#include "http/client/vnhttpresponsereader_internal.h"
#include "net/vnhttphead.h"
#include "task/vnscopecall.h"
#include "task/vntask.h"

namespace {

bool ReadU32(uint32_t* pValue) {
    unsigned char b[4];
    if (fread(b, 1, 4, stdin) != 4) return false;
    *pValue = b[0] | (b[1] << 8) | (b[2] << 16) | (static_cast<uint32_t>(b[3]) << 24);
    return true;
}

bool ReadBytes(std::string* pOut) {
    uint32_t n = 0;
    if (!ReadU32(&n)) return false;
    pOut->resize(n);
    return n == 0 || fread(&(*pOut)[0], 1, n, stdin) == n;
}

// The answer cut into the chunks the split offsets make.
bool ReadChunks(const std::string& stream, std::vector<std::string>* pChunks) {
    uint32_t count = 0;
    if (!ReadU32(&count)) return false;
    size_t at = 0;
    pChunks->clear();
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t p = 0;
        if (!ReadU32(&p) || p < at || p > stream.size()) return false;
        pChunks->push_back(stream.substr(at, p - at));
        at = p;
    }
    pChunks->push_back(stream.substr(at));
    return true;
}

std::string Hex(const char* p, size_t n) {
    static const char kDigits[] = "0123456789abcdef";
    std::string out;
    out.reserve(2 * n + 2);
    out += '"';
    for (size_t i = 0; i < n; ++i) {
        unsigned char c = static_cast<unsigned char>(p[i]);
        out += kDigits[c >> 4];
        out += kDigits[c & 15];
    }
    out += '"';
    return out;
}

std::string Hex(const std::string& s) {
    return Hex(s.data(), s.size());
}

// [[name, value], ...] with names lower-cased (HTTP names ignore case).
std::string Fields(const CHttpHead& head) {
    std::string out = "[";
    for (unsigned int i = 0; i < head.GetFieldCount(); ++i) {
        size_t nameLen = 0, valueLen = 0;
        const char* p = head.GetFieldName(i, &nameLen);
        std::string name(p, nameLen);
        const char* value = head.GetFieldValue(i, &valueLen);
        for (char& c : name) {
            if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        }
        if (i > 0) out += ',';
        out += '[' + Hex(name) + ',' + Hex(value, valueLen) + ']';
    }
    return out + ']';
}

// One answer to "GET http://h/a/b" into memory: the reader loop of the client's ReadAnswer
// and OnClose.
std::string ReadCase(const std::vector<std::string>& chunks, bool bEnd) {
    static const char* const kNames[] = {"more",     "begin", "data", "done",
                                         "redirect", "retry", "fail"};
    CHttpResponseReader r;
    r.Start("GET", false, 0, "http://h/a/b");
    std::string buf, body;  // buf: received, not consumed
    bool begun = false, atEnd = false;
    int verdict = CHttpResponseReader::kNeedMore;
    size_t left = 0;  // bytes of the stream after the verdict
    for (size_t k = 0; k < chunks.size(); ++k) {
        if (verdict != CHttpResponseReader::kNeedMore) {
            left += chunks[k].size();
            continue;
        }
        buf += chunks[k];
        for (;;) {
            size_t used = 0, n = 0;
            const char* data = nullptr;
            int v = r.Step(buf.data(), buf.size(), &used, &data, &n);
            // The data lies in the buffer: kept before the buffer moves.
            if (v == CHttpResponseReader::kData) body.append(data, n);
            buf.erase(0, used);
            if (v == CHttpResponseReader::kData) continue;
            if (v == CHttpResponseReader::kBegin) {
                begun = true;
                continue;
            }
            if (v != CHttpResponseReader::kNeedMore) {
                verdict = v;
                left = buf.size();
            }
            break;
        }
    }
    if (verdict == CHttpResponseReader::kNeedMore && bEnd) {
        verdict = r.End();
        atEnd = true;
    }
    vn::strutf8 location = r.GetLocation();
    std::string out = "{\"status\":" + std::to_string(r.HasHead() ? r.GetStatus() : 0);
    out += ",\"fields\":" + (r.HasHead() ? Fields(r.GetHead()) : std::string("null"));
    out += ",\"body\":" + (begun ? Hex(body) : std::string("null"));
    out += ",\"verdict\":\"" + std::string(kNames[verdict]) + "\",\"code\":";
    out += std::to_string(verdict == CHttpResponseReader::kNeedMore ? 0 : r.GetCode());
    out += ",\"at_end\":" + std::string(atEnd ? "true" : "false");
    out += ",\"reusable\":" + std::string(r.IsReusable() ? "true" : "false");
    out += ",\"left\":" + std::to_string(left);
    out += ",\"location\":" + Hex(location.c_str(), location.length()) + '}';
    return out;
}

// ------------------------------------------------------------------ the real client

// The notifications of one download: only its completion matters here.
class Sink : public IHttpClientSink {
public:
    void OnConnecting(IHttpClient*, const vn::strutf16&) override {}
    void OnConnected(IHttpClient*) override {}
    void OnDownloadStart(IHttpClient*, unsigned int, unsigned int) override {}
    void OnProgress(IHttpClient*, unsigned long long, unsigned long long, unsigned int) override {}
    void OnRedirected(IHttpClient*, vn::strutf16&) override {}
    void OnDownloadComplete(IHttpClient* c, unsigned int code) override {
        // The buffer is read here, on the notification thread, before anything else runs.
        std::string body;
        const void* p = nullptr;
        unsigned int n = 0;
        if (c->GetDownloadedBuffer(p, n)) body.assign(static_cast<const char*>(p), n);
        std::lock_guard<std::mutex> g(m_mu);
        if (m_uCount++ > 0) return;  // the first one counts; Completions() tells of more
        m_uCode = code;
        m_strBody = body;
        m_cv.notify_all();
    }
    // The code (~0u when no completion came within ms) and the buffer.
    unsigned int Wait(int ms, std::string* pBody) {
        std::unique_lock<std::mutex> l(m_mu);
        if (!m_cv.wait_for(l, std::chrono::milliseconds(ms), [&] { return m_uCount > 0; })) {
            return ~0u;
        }
        *pBody = m_strBody;
        return m_uCode;
    }
    unsigned int Completions() {
        std::lock_guard<std::mutex> g(m_mu);
        return m_uCount;
    }

private:
    std::mutex m_mu;
    std::condition_variable m_cv;
    unsigned int m_uCount = 0;
    unsigned int m_uCode = 0;
    std::string m_strBody;
};

// A function run on the notification thread, waited for (bounded) by the caller. Counted:
// a run that outlasts the wait still finds it alive.
class Job : public CRefCountSafe {
public:
    explicit Job(IHttpClient* c) : m_pClient(c) {}
    int Delete(CRefCount*) {
        m_pClient->Stop();
        delete m_pClient;
        m_done.Post();
        return 0;
    }
    CVNEvent m_done{1, 0};

private:
    IHttpClient* m_pClient;
};

// Deletes the client on the notification thread, so that no sink call runs meanwhile.
bool DeleteOn(CVNTaskBase* task, IHttpClient* c) {
    Job* job = new Job(c);
    bool ok = CVNTaskBase::PushTask(task, CScopeCall(job, job, &Job::Delete)) != 0 &&
              job->m_done.Wait(10000) == 1;
    job->Release();
    return ok;
}

int RunClient(int argc, char** argv) {
    if (argc != 4) {
        fprintf(stderr, "usage: %s --client PORT DATA_MS < case numbers\n", argv[0]);
        return 2;
    }
    int port = atoi(argv[2]);
    unsigned int dataMs = static_cast<unsigned int>(atoi(argv[3]));
    syslog_setlevel(-1);
    CVNTaskBase* task = new CVNTaskBase("Notify", 50, 1);
    if (!task->Start()) return 1;
    std::string url = "http://127.0.0.1:" + std::to_string(port) + "/a/b";
    int status = 0;
    unsigned int i = 0;
    while (status == 0 && scanf("%u", &i) == 1) {
        Sink sink;
        IHttpClient* c = vn_create_httpclient(task);
        c->SetSink(&sink);
        // No reconnect on a data time-out: an answer that stops ends the request at once.
        c->SetTimeout(2000, dataMs, 0);
        // The origin tells the cases apart by this field (retries and redirects carry it too).
        c->AddHeader(u"X-Case", i);
        std::string body;
        unsigned int code = ~0u;
        if (c->Download(vn::strutf16(vn::strutf8(url.c_str())), nullptr)) {
            // Bounded: the client's own time-outs end every request well before.
            code = sink.Wait(20000, &body);
        }
        // Every sink call queued before the deletion has run when it returns: a second
        // completion for the one request would have been counted by then.
        if (!DeleteOn(task, c)) status = 1;
        if (sink.Completions() > 1) code = ~1u;
        printf("{\"case\":%u,\"code\":%d,\"body\":%s}\n", i, static_cast<int>(code),
               Hex(body).c_str());
        fflush(stdout);
    }
    task->Stop();
    task->Release();
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::string(argv[1]) == "--client") return RunClient(argc, argv);
    std::string stream;
    std::vector<std::string> chunks;
    uint32_t end = 0;
    while (ReadBytes(&stream) && ReadU32(&end) && ReadChunks(stream, &chunks)) {
        std::string line = ReadCase(chunks, end != 0);
        fputs(line.c_str(), stdout);
        fputc('\n', stdout);
    }
    return 0;
}
