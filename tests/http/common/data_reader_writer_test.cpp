// CDataReader and HttpResponseDataWriter: blocks confirmed only by what was sent, rewinds
// and skipped range starts, refused sources, resume lengths, staging, truncation, the cap.
#include <gtest/gtest.h>

#include <string>

#include "http/common/vndatareader_internal.h"
#include "http/common/vndatawriter_internal.h"
#include "support/http_peers.h"

namespace {

class DataIoTest : public ::testing::Test {
protected:
    void TearDown() override { vntest::RemoveTree(m_dir); }
    std::string Path(const char* name) const { return m_dir + "/" + name; }
    std::string m_dir = vntest::MakeTempDir("dataio");
};

// From a rewind and a skipped start, drains the reader "sending" at most `accept` bytes of
// each block (at most 64 KiB).
std::string Drain(CDataReader& r, unsigned skip, unsigned accept) {
    r.Rewind();
    EXPECT_TRUE(r.Advance(skip));
    std::string out;
    const char* p = nullptr;
    unsigned n = 0;
    while (!r.IsEnd() && r.GetNextBlock(p, n)) {
        EXPECT_LE(n, 65536u);
        out.append(p, std::min(n, accept));
        EXPECT_TRUE(r.Advance(std::min(n, accept)));
    }
    return out;
}

TEST_F(DataIoTest, ReaderHandsOutBlocksAndResendsUnsentRests) {
    std::string data = vntest::PatternBytes(200000, 1);
    ASSERT_TRUE(vntest::WriteTextFile(Path("up"), data));
    CDataReader file(1), mem(2);
    ASSERT_TRUE(file.SetFileName(Path("up").c_str()));
    ASSERT_TRUE(mem.SetBuffer(data.data(), 70000));
    EXPECT_EQ(200000u, file.GetLength());
    struct Case {
        CDataReader* r;
        unsigned skip, accept;
        std::string want;
    } cases[] = {{&file, 0, 1u << 30, data},
                 {&file, 0, 1000, data},
                 {&file, 100000, 7777, data.substr(100000)},
                 {&mem, 0, 4097, data.substr(0, 70000)},
                 {&mem, 69999, 10, data.substr(69999, 1)}};
    for (const Case& c : cases)
        EXPECT_TRUE(c.want == Drain(*c.r, c.skip, c.accept)) << c.skip << " " << c.accept;
    EXPECT_FALSE(file.Advance(1));  // nothing beyond the end

    // Refused sources; a file that shrank since it was opened ends where its bytes end.
    CDataReader r(3);
    ASSERT_TRUE(vntest::WriteTextFile(Path("empty"), ""));
    EXPECT_FALSE(r.SetFileName(Path("missing").c_str()) || r.SetFileName(Path("empty").c_str()) ||
                 r.SetBuffer(nullptr, 3) || r.SetBuffer("x", 0));
    ASSERT_TRUE(r.SetFileName(Path("up").c_str()));
    ASSERT_TRUE(vntest::WriteTextFile(Path("up"), "short"));
    EXPECT_EQ("short", Drain(r, 0, 1u << 30));
}

TEST_F(DataIoTest, FileWriterResumesStagesAndTruncates) {
    ASSERT_TRUE(vntest::WriteTextFile(Path("dl"), "0123456789"));
    std::string data = vntest::PatternBytes(3 * HttpResponseDataWriter::kStageSize + 17, 2);
    {
        HttpResponseDataWriter w(4);
        ASSERT_TRUE(w.OpenFile(Path("dl").c_str()));
        EXPECT_EQ(10u, w.GetLength());  // a resumed file counts what it holds
        // Staged, staged past the stage's end, straight through, and the rest.
        size_t at = 0;
        for (size_t piece : {size_t(1), size_t(4095), size_t(2000000), size_t(65536), size_t(0)}) {
            if (piece == 0) piece = data.size() - at;
            ASSERT_TRUE(w.Write(data.data() + at, static_cast<unsigned>(piece)));
            at += piece;
        }
        EXPECT_EQ(10u + data.size(), w.GetLength());
        EXPECT_EQ(data.size(), w.GetWrittenBytes());
        w.CloseFile();
    }
    EXPECT_TRUE("0123456789" + data == vntest::ReadTextFile(Path("dl")));
    {
        HttpResponseDataWriter w(5);
        ASSERT_TRUE(w.OpenFile(Path("dl").c_str()));
        ASSERT_TRUE(w.Write("stale", 5));
        ASSERT_TRUE(w.Truncate());  // staged bytes go with the old content
        EXPECT_EQ(0u, w.GetLength());
        ASSERT_TRUE(w.Write("new", 3));
        // Dropped without CloseFile: what was written still reaches the file.
    }
    EXPECT_EQ("new", vntest::ReadTextFile(Path("dl")));
    HttpResponseDataWriter bad(6);
    EXPECT_FALSE(bad.OpenFile(Path("no/such").c_str()) || bad.Write("x", 1) || bad.Truncate());
}

TEST(DataWriter, MemoryGrowsToItsCap) {
    HttpResponseDataWriter w(7);
    EXPECT_FALSE(w.Write(nullptr, 3) || w.Write("x", 0));
    std::string block = vntest::PatternBytes(10240, 3);
    for (int i = 0; i < 100; ++i)
        ASSERT_TRUE(w.Write(block.data(), 10240));
    EXPECT_EQ(1024000u, w.GetLength());
    EXPECT_EQ(0, memcmp(w.GetBuffer() + 10240 * 99, block.data(), 10240));
    EXPECT_EQ('\0', w.GetBuffer()[w.GetBufferLen()]);  // readable as text
    ASSERT_TRUE(w.Truncate());
    EXPECT_EQ(0u, w.GetBufferLen());
    // A write that would pass the cap fails and keeps what was collected.
    std::string big(HttpResponseDataWriter::kMaxMemory - 1, 'x');
    ASSERT_TRUE(w.Write(big.data(), static_cast<unsigned>(big.size())));
    EXPECT_TRUE(w.Write("y", 1));
    EXPECT_FALSE(w.Write("z", 1));
    EXPECT_EQ(HttpResponseDataWriter::kMaxMemory, w.GetBufferLen());
}

}  // namespace
