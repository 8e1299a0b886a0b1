// The client's answer reader on its own, every answer fed whole and split at every byte:
// the verdict, the body and what becomes of the target and the connection for each kind
// of answer a hostile origin can give.
#include <gtest/gtest.h>

#include <string>

#include "http/client/vnhttpclient.h"
#include "http/client/vnhttpresponsereader_internal.h"

namespace {

// "begin" or "restart" when a body begins, the body bytes, then the final verdict:
// done/fail/redirect/retry with the code (and the location), "+keep" for a reusable
// connection. With bEnd the connection ends after the bytes.
std::string Read(const std::string& answer, bool file, unsigned long long have, size_t split,
                 bool bEnd) {
    CHttpResponseReader r;
    r.Start("GET", file, have, "http://h:81/a/b");
    std::string buf, out;
    const char* names[] = {"more", "begin", "data", "done", "redirect", "retry", "fail"};
    for (const std::string& piece : {answer.substr(0, split), answer.substr(split)}) {
        buf += piece;
        for (;;) {
            size_t used = 0, n = 0;
            const char* data = nullptr;
            int v = r.Step(buf.data(), buf.size(), &used, &data, &n);
            if (v == CHttpResponseReader::kData) out.append(data, n);
            buf.erase(0, used);
            if (v == CHttpResponseReader::kData) continue;
            if (v == CHttpResponseReader::kBegin) {
                out += r.IsRestart() ? "[restart]" : "[begin]";
                continue;
            }
            if (v == CHttpResponseReader::kNeedMore) break;
            return out + "|" + names[v] + " " + std::to_string(r.GetCode()) +
                   r.GetLocation().c_str() + (r.IsReusable() ? " +keep" : "");
        }
    }
    if (!bEnd) return out + "|more";
    int v = r.End();
    return out + "|end " + names[v] + " " + std::to_string(r.GetCode()) +
           (v == CHttpResponseReader::kRetry && r.IsRestart() ? " restart" : "");
}

TEST(HttpResponseReader, EveryAnswerAtEverySplit) {
    const std::string ok = "HTTP/1.1 200 OK\r\n";
    struct Row {
        std::string answer;
        bool file;
        unsigned long long have;
        bool end;  // the connection ends after the answer
        const char* want;
        bool whole = false;  // fed in one piece only
    } rows[] = {
        {ok + "Content-Length: 5\r\n\r\nhello", false, 0, false, "[restart]hello|done 0 +keep"},
        // A status line without a reason phrase.
        {"HTTP/1.1 200\r\nContent-Length: 2\r\n\r\nok", false, 0, false,
         "[restart]ok|done 0 +keep"},
        // Interim answers are skipped.
        {"HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 103 Early Hints\r\nLink: </s>\r\n\r\n" + ok +
             "Content-Length: 2\r\n\r\nok",
         true, 0, false, "[restart]ok|done 0 +keep"},
        {"HTTP/1.1 101 Switching\r\nUpgrade: x\r\n\r\n", false, 0, false, "|fail 2"},
        // No body after 204, 304 (whatever length they announce).
        {"HTTP/1.1 204 No Content\r\n\r\n", true, 0, false, "[restart]|done 0 +keep"},
        {"HTTP/1.1 304 Not Modified\r\nContent-Length: 9\r\n\r\n", true, 0, false, "|done 1 +keep"},
        {"HTTP/1.1 304 Not Modified\r\nContent-Length: 5\r\n\r\nhello", true, 0, false, "|done 1",
         true},
        {"HTTP/1.1 099 Low\r\n\r\n" + ok + "Content-Length: 2\r\n\r\nok", false, 0, false,
         "|fail 2"},
        // A file target never gets an error page; a memory target takes a 500's.
        {"HTTP/1.1 404 Not Found\r\nContent-Length: 5\r\n\r\nerror", true, 0, false, "|fail 7"},
        {"HTTP/1.1 503 Busy\r\nContent-Length: 5\r\n\r\nerror", true, 0, false, "|fail 8"},
        {"HTTP/1.1 401 Who\r\nContent-Length: 5\r\n\r\nerror", true, 0, false, "|fail 3"},
        {"HTTP/1.1 500 Oops\r\nContent-Length: 5\r\n\r\nerror", true, 0, false, "|fail 2"},
        {"HTTP/1.1 500 Oops\r\nContent-Length: 5\r\n\r\nerror", false, 0, false,
         "[restart]error|done 0 +keep"},
        {"HTTP/1.1 403 No\r\nContent-Length: 5\r\n\r\nerror", true, 300, false, "|fail 2"},
        // Lengths that are not one decimal number fail; chunked wins over a length.
        {ok + "Content-Length: 3abc\r\n\r\nabc", false, 0, false, "|fail 2"},
        {ok + "Content-Length: -1\r\n\r\n", false, 0, false, "|fail 2"},
        {ok + "Content-Length: 99999999999999999999\r\n\r\n", false, 0, false, "|fail 2"},
        {ok + "Content-Length: 3\r\nContent-Length: 4\r\n\r\nabcd", false, 0, false, "|fail 2"},
        {ok + "Content-Length: 3\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nab\r\n0\r\n\r\n", false,
         0, false, "[restart]ab|done 0"},
        {ok + "Transfer-Encoding: chunked\r\n\r\n5g\r\nhello\r\n0\r\n\r\n", false, 0, false,
         "[restart]|fail 2"},
        // A part continues the target exactly, or is refused.
        {"HTTP/1.1 206 Part\r\nContent-Range: bytes 3-4/5\r\nContent-Length: 2\r\n\r\nde", true, 3,
         false, "[begin]de|done 0 +keep"},
        {"HTTP/1.1 206 Part\r\nContent-Range: bytes 0-4/5\r\nContent-Length: 5\r\n\r\nabcde", true,
         3, false, "|fail 2"},
        {"HTTP/1.1 206 Part\r\nContent-Range: bytes 3-4/5\r\nContent-Length: 9\r\n\r\nde", true, 3,
         false, "|fail 2"},
        {"HTTP/1.1 416 No\r\nContent-Length: 0\r\n\r\n", true, 3, false, "|retry 2"},
        // Cut short, ended by close, bytes after the body, close asked for.
        {ok + "Content-Length: 10\r\n\r\nabc", true, 0, true, "[restart]abc|end retry 2"},
        {ok + "\r\nuntil close", true, 0, true, "[restart]until close|end done 0"},
        {"HTTP/1.1 404 No\r\n", true, 0, true, "|end fail 3"},
        // Bytes after the body in the same read make the connection unusable (bytes that
        // come later, on the idle connection, make the client close it).
        {ok + "Content-Length: 2\r\n\r\nokEXTRA", false, 0, false, "[restart]ok|done 0", true},
        {ok + "Connection: close\r\nContent-Length: 2\r\n\r\nok", false, 0, false,
         "[restart]ok|done 0"},
        {"HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nok", false, 0, false, "[restart]ok|done 0"},
        // Redirects: resolved against the URL, a scheme-relative one included.
        {"HTTP/1.1 302 Found\r\nLocation: //other:8080/x#f\r\n\r\n", true, 0, false,
         "|redirect 2http://other:8080/x#f"},
        {"HTTP/1.1 308 Moved\r\nLocation: ../c\r\n\r\n", true, 0, false,
         "|redirect 2http://h:81/c"},
        {"HTTP/1.1 301 Moved\r\nLocation: /a/b\r\n\r\n", true, 0, false, "|fail 7"},
        {"HTTP/1.1 302 Found\r\n\r\n", true, 0, false, "|fail 7"},
        // Heads that break the grammar.
        {"HTTP/1.1 200 OK\r\nX : y\r\n\r\n", false, 0, false, "|fail 2"},
        {"HTTP/1.1 200 OK\r\nX: " + std::string(11000, 'x') + "\r\n\r\n", false, 0, false,
         "|fail 2"},
    };
    for (const Row& r : rows) {
        size_t first = r.whole ? r.answer.size() : 0;
        for (size_t split = first; split <= r.answer.size();
             split += r.answer.size() > 400 ? 97 : 1) {
            EXPECT_EQ(r.want, Read(r.answer, r.file, r.have, split, r.end))
                << r.answer.substr(0, 60) << " split at " << split;
        }
    }
}

TEST(HttpResponseReader, TimeOutEndsOnlyABodyWithoutLength) {
    struct Row {
        const char* answer;
        int verdict;
    } rows[] = {
        {"HTTP/1.1 200 OK\r\n\r\nsome", CHttpResponseReader::kDone},
        {"HTTP/1.1 200 OK\r\nContent-Length: 9\r\n\r\nsome", CHttpResponseReader::kRetry},
        {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n4\r\nsome",
         CHttpResponseReader::kRetry},
        {"HTTP/1.1 20", CHttpResponseReader::kRetry},
    };
    for (const Row& r : rows) {
        CHttpResponseReader reader;
        reader.Start("GET", false, 0, "http://h/");
        std::string buf = r.answer;
        for (;;) {
            size_t used = 0, n = 0;
            const char* data = nullptr;
            int v = reader.Step(buf.data(), buf.size(), &used, &data, &n);
            buf.erase(0, used);
            if (v == CHttpResponseReader::kNeedMore) break;
        }
        EXPECT_EQ(r.verdict, reader.TimedOut()) << r.answer;
        EXPECT_EQ(r.verdict, reader.TimedOut()) << r.answer;  // the verdict stays
    }
}

}  // namespace
