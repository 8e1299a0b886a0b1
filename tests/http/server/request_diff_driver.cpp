// Feeds byte streams to the server's request reader (default) or to the multipart reader
// (--multipart) the way the server's channel does, chunk by chunk, and prints one JSON
// line per case for request_diff.py / multipart_diff.py to compare with Python's parsers.
//
// Input on stdin, a sequence of cases, every number a little-endian uint32:
//   request mode:   len, stream bytes, count, count split offsets
//   multipart mode: len, Content-Type value, len, body bytes, count, count split offsets
// A split offset p delivers the bytes before p as one chunk; offsets ascend.
// Byte strings are printed as lowercase hex, so that any byte survives the JSON.
#include <stdint.h>
#include <stdio.h>

#include <string>
#include <vector>

#include "http/server/vnhttprequestreader_internal.h"
#include "net/vnhttphead.h"
#include "net/vnhttpmultipart.h"

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

// The stream cut into the chunks the split offsets make.
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

std::string Hex(const vn::strutf8& s) {
    return Hex(s.c_str(), s.length());
}

// [[name, value], ...]; names lower-cased when asked (HTTP names ignore case).
std::string Fields(const CHttpHead& head, bool bLower) {
    std::string out = "[";
    for (unsigned int i = 0; i < head.GetFieldCount(); ++i) {
        size_t nameLen = 0, valueLen = 0;
        const char* p = head.GetFieldName(i, &nameLen);
        std::string name(p, nameLen);
        const char* value = head.GetFieldValue(i, &valueLen);
        for (char& c : name) {
            if (bLower && c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        }
        if (i > 0) out += ',';
        out += '[' + Hex(name) + ',' + Hex(value, valueLen) + ']';
    }
    return out + ']';
}

// One connection's requests: the reader loop of the server's channel.
class RequestCase {
public:
    void Feed(const std::string& chunk) {
        if (!m_verdict.empty()) return;
        m_buf += chunk;
        for (;;) {
            size_t used = 0;
            if (m_bHead) {
                int r = m_reader.ReadHead(m_buf.data(), m_buf.size(), &used);
                if (r == CHttpRequestReader::kNeedMore) return;
                if (r != CHttpRequestReader::kHead) return Finish("error");
                StartRequest(used);
                continue;
            }
            const char* data = nullptr;
            size_t n = 0;
            int r = m_reader.ReadBody(m_buf.data(), m_buf.size(), CHttpRequestReader::kRaw, &used,
                                      &data, &n);
            // The data may lie in the buffer: keep it before the buffer moves.
            if (r == CHttpRequestReader::kData) m_body.append(data, n);
            Consume(used);
            if (r == CHttpRequestReader::kNeedMore) return;
            if (r == CHttpRequestReader::kBad) return Finish("error");
            if (r == CHttpRequestReader::kBodyDone) {
                m_out += (m_count++ > 0 ? "," : "") + m_request + ",\"body\":" + Hex(m_body) + '}';
                if (!m_reader.IsKeepAlive()) return Finish("closed");
                m_reader.Reset();
                m_bHead = true;
            }
        }
    }

    std::string End() {
        if (m_verdict.empty()) Finish(m_bHead && m_buf.empty() ? "clean" : "incomplete");
        return "{\"requests\":[" + m_out + "],\"verdict\":\"" + m_verdict +
               "\",\"at\":" + std::to_string(m_count) + ",\"starts\":[" + m_starts +
               "],\"consumed\":" + std::to_string(m_consumed) + '}';
    }

private:
    void StartRequest(size_t used) {
        const CHttpHead& head = m_reader.GetHead();
        m_request = "{\"method\":" + Hex(head.GetMethod()) +
                    ",\"target\":" + Hex(head.GetTarget()) + ",\"version\":\"" +
                    std::to_string(head.GetVersionMajor()) + '.' +
                    std::to_string(head.GetVersionMinor()) + "\",\"fields\":" + Fields(head, true);
        // A form's lead (up to its first part's content) was read with the head.
        m_body.assign(m_reader.GetHeadText().c_str() + head.GetText().length(),
                      m_reader.GetHeadText().length() - head.GetText().length());
        m_starts += (m_count > 0 ? "," : "") + std::to_string(m_consumed);
        Consume(used);
        m_bHead = false;
    }

    void Consume(size_t n) {
        m_buf.erase(0, n);
        m_consumed += n;
    }

    void Finish(const char* pszVerdict) { m_verdict = pszVerdict; }

    CHttpRequestReader m_reader;
    std::string m_buf;  // received, not consumed
    bool m_bHead = true;
    size_t m_consumed = 0;
    std::string m_request;  // the current request's JSON, without its body
    std::string m_body;
    std::string m_out;     // the complete requests' JSON
    std::string m_starts;  // where each request began in the stream
    unsigned m_count = 0;
    std::string m_verdict;
};

// The first part of a form body, as CHttpMultipartReader sees it. The boundary comes from
// a Content-Type value through GetBoundary, as the server finds it.
std::string MultipartCase(const std::string& type, const std::vector<std::string>& chunks) {
    std::string text = "POST / HTTP/1.1\r\nHost: h\r\nContent-Type: " + type + "\r\n\r\n";
    CHttpHead head;
    size_t used = 0;
    if (head.ParseRequest(text.data(), text.size(), text.size(), &used) != CHttpHead::kComplete) {
        return "{\"form\":\"bad head\"}";
    }
    vn::strutf8 boundary;
    int form = CHttpMultipartReader::GetBoundary(head, boundary);
    if (form != 1) return "{\"form\":" + std::to_string(form) + '}';
    CHttpMultipartReader reader;
    reader.Start(boundary, CHttpRequestReader::kMaxHead);
    std::string buf, content, partHead = "null", fields = "null";
    const char* verdict = "incomplete";
    for (const std::string& chunk : chunks) {
        buf += chunk;
        while (!buf.empty()) {
            const char* data = nullptr;
            size_t n = 0;
            int r = reader.Step(buf.data(), buf.size(), &used, &data, &n);
            if (r == CHttpMultipartReader::kMalformed) {
                verdict = "error";
                break;
            }
            if (r == CHttpMultipartReader::kData) content.append(data, n);
            if (r == CHttpMultipartReader::kHead) {
                partHead = Hex(reader.GetPartHead().GetText());
                fields = Fields(reader.GetPartHead(), false);
            }
            if (r == CHttpMultipartReader::kDone) verdict = "done";
            buf.erase(0, used);
            if (r == CHttpMultipartReader::kNeedMore) break;
        }
        if (verdict[0] == 'e') break;
    }
    return "{\"form\":1,\"boundary\":" + Hex(boundary) + ",\"head\":" + partHead +
           ",\"fields\":" + fields + ",\"content\":" + Hex(content) + ",\"verdict\":\"" + verdict +
           "\"}";
}

}  // namespace

int main(int argc, char** argv) {
    bool multipart = argc > 1 && std::string(argv[1]) == "--multipart";
    std::string type, stream;
    std::vector<std::string> chunks;
    for (;;) {
        if (multipart && !ReadBytes(&type)) break;
        if (!ReadBytes(&stream) || !ReadChunks(stream, &chunks)) break;
        std::string line;
        if (multipart) {
            line = MultipartCase(type, chunks);
        } else {
            RequestCase c;
            for (const std::string& chunk : chunks)
                c.Feed(chunk);
            line = c.End();
        }
        fputs(line.c_str(), stdout);
        fputc('\n', stdout);
    }
    return 0;
}
