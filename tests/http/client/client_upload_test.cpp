// Uploads against a receiver that parses each body with Python's standard library: plain
// buffers and files, multipart forms of fields and files (0 bytes, 1 MiB, GBK names), and
// the refusals of the form calls.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "http/client/client_test_util.h"
#include "support/http_peers.h"
#include "support/log_capture.h"

using namespace httptest;

namespace {

std::string ScriptPath() {
    std::string f = __FILE__;
    return f.substr(0, f.rfind('/')) + "/upload_receiver.py";
}

std::string Hex(const std::string& s) {
    static const char k[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : s) {
        out += k[c >> 4];
        out += k[c & 15];
    }
    return out;
}

std::string Part(const std::string& name, const char* filename, const std::string& data) {
    return "{\"filename\": " + (filename ? "\"" + Hex(filename) + "\"" : std::string("null")) +
           ", \"md5\": \"" + vntest::BufferMd5(data.data(), data.size()) + "\", \"name\": \"" +
           Hex(name) + "\", \"size\": " + std::to_string(data.size()) + "}";
}

class UploadTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        for (int i = 0; i < 3 && s_peer == nullptr; ++i) {
            s_port = vntest::FreeLoopbackPort();
            s_peer = vntest::ExternalPeer::Start(
                         {"/usr/bin/python3", ScriptPath(), std::to_string(s_port)}, s_port, 10000,
                         &s_why)
                         .release();
        }
    }
    static void TearDownTestSuite() {
        delete s_peer;
        s_peer = nullptr;
    }
    void SetUp() override {
        ASSERT_NE(nullptr, s_peer) << s_why;
        m_dir = vntest::MakeTempDir("upload");
    }
    void TearDown() override { vntest::RemoveTree(m_dir); }
    std::string Url() { return "http://127.0.0.1:" + std::to_string(s_port) + "/up"; }

    // The receiver's report after the n-th completed request (code 0 expected).
    std::string Report(Client& c, size_t n) {
        EXPECT_EQ(0u, c.sink.WaitCode(n));
        std::string r = c.Buffer();
        // The body is exactly as long as announced.
        unsigned long long announced = 0, received = 1;
        size_t a = r.find("\"length\": "), b = r.find("\"received\": ");
        if (a != std::string::npos) announced = std::stoull(r.substr(a + 10));
        if (b != std::string::npos) received = std::stoull(r.substr(b + 12));
        EXPECT_EQ(announced, received) << r;
        return r;
    }

    static vntest::ExternalPeer* s_peer;
    static unsigned short s_port;
    static std::string s_why;
    std::string m_dir;
};
vntest::ExternalPeer* UploadTest::s_peer = nullptr;
unsigned short UploadTest::s_port = 0;
std::string UploadTest::s_why;

}  // namespace

TEST_F(UploadTest, PlainBufferAndFile) {
    std::string path = m_dir + "/up.bin";
    ASSERT_TRUE(vntest::WritePatternFile(path, 200000, 9));
    std::string data = vntest::ReadTextFile(path);
    Client c;
    ASSERT_TRUE(c->Upload(U(Url()), data.data(), static_cast<unsigned int>(data.size())));
    EXPECT_NE(std::string::npos, Report(c, 1).find(vntest::FileMd5(path)));
    ASSERT_TRUE(c->Upload(U(Url()), U(path)));
    EXPECT_NE(std::string::npos, Report(c, 2).find(vntest::FileMd5(path)));
}

TEST_F(UploadTest, MultipartForms) {
    std::string big = m_dir + "/big.bin", empty = m_dir + "/empty.bin";
    ASSERT_TRUE(vntest::WritePatternFile(big, 1024 * 1024, 5));
    ASSERT_TRUE(vntest::WriteTextFile(empty, ""));
    std::string bigData = vntest::ReadTextFile(big);
    Client c;

    // Fields plus a file given as a path (reduced to its name).
    c->AddFormData(u"a", u"first");
    c->AddFormData(u"b", u"line one\r\nline two");
    ASSERT_TRUE(c->UploadFormData(U(Url()), u"file", U(big).c_str()));
    std::string r = Report(c, 1);
    EXPECT_NE(std::string::npos, r.find("\"defects\": 0")) << r;
    EXPECT_NE(std::string::npos, r.find("[" + Part("a", nullptr, "first") + ", " +
                                        Part("b", nullptr, "line one\r\nline two") + ", " +
                                        Part("file", "big.bin", bigData) + "]"))
        << r;

    // A file from memory only, with a Windows path for its name.
    ASSERT_TRUE(c->UploadFormData(U(Url()), u"f", "12345", 5, u"C:\\dir\\x.bin"));
    r = Report(c, 2);
    EXPECT_NE(std::string::npos, r.find("[" + Part("f", "x.bin", "12345") + "]")) << r;

    // Fields only: the last value keeps its exact bytes.
    c->AddFormData(u"only", u"v");
    ASSERT_TRUE(c->UploadFormData(U(Url()), nullptr, nullptr));
    r = Report(c, 3);
    EXPECT_NE(std::string::npos, r.find("[" + Part("only", nullptr, "v") + "]")) << r;

    // GBK field names.
    c->SetGBKEncoding(1);
    c->AddFormData(u"\u4f60\u597d", u"x");
    ASSERT_TRUE(c->UploadFormData(U(Url()), u"\u6587", "z", 1, u"\u6587.txt"));
    r = Report(c, 4);
    EXPECT_NE(std::string::npos, r.find(Part("\xc4\xe3\xba\xc3", nullptr, "x") + ", " +
                                        Part("\xce\xc4", "\xce\xc4.txt", "z")))
        << r;
    c->SetGBKEncoding(0);

    // A 0-byte file is refused before any connection is made.
    ASSERT_TRUE(c->UploadFormData(U(Url()), u"file", U(empty).c_str()));
    EXPECT_EQ(10u, c.sink.WaitCode(5));
}

TEST_F(UploadTest, FormCallsRefuseBadInput) {
    Client c;
    vntest::LogClear();
    EXPECT_FALSE(c->UploadFormData(U(Url()), u"f", nullptr, 0, nullptr));
    EXPECT_EQ(1u, vntest::LogCount("Error strFormDatas IsEmpty"));
    // No header injection through names.
    EXPECT_FALSE(c->UploadFormData(U(Url()), u"f\r\nX: 1", "1", 1, nullptr));
    EXPECT_FALSE(c->UploadFormData(U(Url()), u"f", "1", 1, u"a\nb.txt"));
    EXPECT_FALSE(c->AddHeader(u"X-A", u"1\r\nX-B: 2"));
    EXPECT_FALSE(c->AddHeader(u"X\nA", u"1"));
    EXPECT_FALSE(c->AddRawHeader(u"X-A: 1\r\nX-B: 2"));
    EXPECT_TRUE(c->AddRawHeader(u"  X-A: 1  "));
    EXPECT_FALSE(c->Upload(U(Url()), "", 0));
    c.notify.Run([&] { EXPECT_EQ(0, c->IsRunning()); });
}
