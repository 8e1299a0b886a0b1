// Uploads against a receiver that parses each body with Python's standard library: plain
// buffers and files, multipart forms of fields and files (0 bytes, 1 MiB, GBK names), and
// the refusals of the form and header calls.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "http/client/client_test_util.h"
#include "support/http_peers.h"

using namespace httptest;

namespace {

std::string Hex(const std::string& s) {
    std::string out;
    for (unsigned char c : s) {
        out += "0123456789abcdef"[c >> 4];
        out += "0123456789abcdef"[c & 15];
    }
    return out;
}

// One part as the receiver reports it.
std::string Part(const std::string& name, const char* filename, const std::string& data) {
    return "{\"data\": \"" + Hex(data) +
           "\", \"filename\": " + (filename ? "\"" + Hex(filename) + "\"" : std::string("null")) +
           ", \"name\": \"" + Hex(name) + "\"}";
}

class UploadTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        std::string script = __FILE__;
        script = script.substr(0, script.rfind('/')) + "/upload_receiver.py";
        for (int i = 0; i < 3 && s_peer == nullptr; ++i) {
            s_port = vntest::FreeLoopbackPort();
            s_peer = vntest::ExternalPeer::Start(
                {"/usr/bin/python3", script, std::to_string(s_port)}, s_port, 10000, &s_why);
        }
    }
    void SetUp() override { ASSERT_NE(nullptr, s_peer) << s_why; }
    void TearDown() override { vntest::RemoveTree(m_dir); }
    vn::strutf16 Url() { return U("http://127.0.0.1:" + std::to_string(s_port) + "/up"); }

    // Whether the receiver's report after the n-th completed request has `want` and says
    // that the body was exactly as long as announced.
    static bool Got(Client& c, size_t n, const std::string& want) {
        std::string r = c.sink.WaitCode(n) == 0 ? c.Buffer() : "";
        return r.find(want) != std::string::npos && r.find("\"whole\": true") != std::string::npos;
    }

    static inline std::unique_ptr<vntest::ExternalPeer> s_peer;  // stopped at exit
    static inline unsigned short s_port = 0;
    static inline std::string s_why;
    std::string m_dir = vntest::MakeTempDir("upload");
};

}  // namespace

TEST_F(UploadTest, PlainBodiesAndMultipartForms) {
    std::string big = m_dir + "/big.bin", empty = m_dir + "/empty.bin";
    std::string data = vntest::PatternBytes(1024 * 1024, 5);
    ASSERT_TRUE(vntest::WriteTextFile(big, data) && vntest::WriteTextFile(empty, ""));
    Client c;
    ASSERT_TRUE(c->Upload(Url(), data.data(), 200000));
    EXPECT_TRUE(Got(c, 1, "\"data\": \"" + Hex(data.substr(0, 200000)) + "\""));
    ASSERT_TRUE(c->Upload(Url(), U(big)));
    EXPECT_TRUE(Got(c, 2, "\"data\": \"" + Hex(data) + "\""));
    // Fields plus a file given as a path (reduced to its name).
    c->AddFormData(u"a", u"first");
    c->AddFormData(u"b", u"line one\r\nline two");
    ASSERT_TRUE(c->UploadFormData(Url(), u"file", U(big).c_str()));
    EXPECT_TRUE(Got(c, 3, "\"defects\": 0"));
    EXPECT_TRUE(Got(c, 3,
                    "[" + Part("a", nullptr, "first") + ", " +
                        Part("b", nullptr, "line one\r\nline two") + ", " +
                        Part("file", "big.bin", data) + "]"));
    // A file from memory only, with a Windows path for its name.
    ASSERT_TRUE(c->UploadFormData(Url(), u"f", "12345", 5, u"C:\\dir\\x.bin"));
    EXPECT_TRUE(Got(c, 4, "[" + Part("f", "x.bin", "12345") + "]"));
    // Fields only: the last value keeps its exact bytes.
    c->AddFormData(u"only", u"v");
    ASSERT_TRUE(c->UploadFormData(Url(), nullptr, nullptr));
    EXPECT_TRUE(Got(c, 5, "[" + Part("only", nullptr, "v") + "]"));
    // GBK field names.
    c->SetGBKEncoding(1);
    c->AddFormData(u"\u4f60\u597d", u"x");
    ASSERT_TRUE(c->UploadFormData(Url(), u"\u6587", "z", 1, u"\u6587.txt"));
    EXPECT_TRUE(
        Got(c, 6,
            Part("\xc4\xe3\xba\xc3", nullptr, "x") + ", " + Part("\xce\xc4", "\xce\xc4.txt", "z")));
    c->SetGBKEncoding(0);
    // A 0-byte file is refused before any connection is made.
    ASSERT_TRUE(c->UploadFormData(Url(), u"file", U(empty).c_str()));
    EXPECT_EQ(10u, c.sink.WaitCode(7));

    // Refused at once: no header injection through names.
    EXPECT_FALSE(c->UploadFormData(Url(), u"f", nullptr, 0, nullptr));
    EXPECT_FALSE(c->UploadFormData(Url(), u"f\r\nX: 1", "1", 1, nullptr));
    EXPECT_FALSE(c->UploadFormData(Url(), u"f", "1", 1, u"a\nb.txt"));
    EXPECT_FALSE(c->AddHeader(u"X-A", u"1\r\nX-B: 2") || c->AddHeader(u"X\nA", u"1"));
    EXPECT_FALSE(c->AddRawHeader(u"X-A: 1\r\nX-B: 2"));
    EXPECT_TRUE(c->AddRawHeader(u"  X-A: 1  "));
    EXPECT_FALSE(c->Upload(Url(), "", 0));
    EXPECT_EQ(7u, c.sink.Completions());
}
