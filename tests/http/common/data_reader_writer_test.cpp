// CDataReader and HttpResponseDataWriter: blocks handed out and confirmed only by what was
// sent, rewinding, file and memory targets, resume lengths, truncation and the memory cap.
#include <gtest/gtest.h>

#include <string>

#include "http/common/vndatareader_internal.h"
#include "http/common/vndatawriter_internal.h"
#include "support/external_peer.h"

namespace {

class DataIoTest : public ::testing::Test {
protected:
    void SetUp() override { m_dir = vntest::MakeTempDir("dataio"); }
    void TearDown() override { vntest::RemoveTree(m_dir); }
    std::string Path(const char* name) const { return m_dir + "/" + name; }
    std::string m_dir;
};

std::string Pattern(size_t n) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i)
        s[i] = static_cast<char>((i * 131 + i / 7) & 0xFF);
    return s;
}

// Drains the reader, "sending" at most `accept` bytes of each block.
std::string Drain(CDataReader& r, unsigned accept, std::vector<unsigned>* blocks = nullptr) {
    std::string out;
    const char* p = nullptr;
    unsigned n = 0;
    while (!r.IsEnd() && r.GetNextBlock(p, n)) {
        if (blocks) blocks->push_back(n);
        unsigned sent = n < accept ? n : accept;
        out.append(p, sent);
        EXPECT_TRUE(r.Advance(sent));
    }
    return out;
}

TEST_F(DataIoTest, ReaderHandsOutFileAndMemoryInBlocks) {
    std::string data = Pattern(200000);
    ASSERT_TRUE(vntest::WriteTextFile(Path("up.bin"), data));
    CDataReader file(1);
    ASSERT_TRUE(file.SetFileName(Path("up.bin").c_str()));
    EXPECT_EQ(200000u, file.GetLength());
    std::vector<unsigned> blocks;
    EXPECT_EQ(data, Drain(file, 1u << 30, &blocks));
    EXPECT_EQ((std::vector<unsigned>{65536, 65536, 65536, 3392}), blocks);
    EXPECT_FALSE(file.Advance(1));  // nothing beyond the end

    // Partial sends: the unsent rest of a block comes again; a rewind starts over.
    file.Rewind();
    EXPECT_EQ(data, Drain(file, 1000));
    CDataReader mem(2);
    ASSERT_TRUE(mem.SetBuffer(data.data(), 70000));
    EXPECT_EQ(data.substr(0, 70000), Drain(mem, 4097));
    mem.Rewind();
    ASSERT_TRUE(mem.Advance(69999));  // a range start skipped before any block
    EXPECT_EQ(data.substr(69999, 1), Drain(mem, 10));

    // A range start skipped in a file before any read.
    file.Rewind();
    ASSERT_TRUE(file.Advance(100000));
    EXPECT_EQ(data.substr(100000), Drain(file, 7777));
}

TEST_F(DataIoTest, ReaderRefusesMissingEmptyAndShrunkSources) {
    CDataReader r(3);
    EXPECT_FALSE(r.SetFileName(Path("missing").c_str()));
    ASSERT_TRUE(vntest::WriteTextFile(Path("empty"), ""));
    EXPECT_FALSE(r.SetFileName(Path("empty").c_str()));
    EXPECT_FALSE(r.SetBuffer(nullptr, 3));
    EXPECT_FALSE(r.SetBuffer("x", 0));
    ASSERT_TRUE(vntest::WriteTextFile(Path("shrinks"), Pattern(100000)));
    ASSERT_TRUE(r.SetFileName(Path("shrinks").c_str()));
    ASSERT_TRUE(vntest::WriteTextFile(Path("shrinks"), "short"));
    const char* p;
    unsigned n;
    ASSERT_TRUE(r.GetNextBlock(p, n));
    EXPECT_EQ(5u, n);
    ASSERT_TRUE(r.Advance(n));
    EXPECT_FALSE(r.GetNextBlock(p, n));  // the file ends before its announced length
}

TEST_F(DataIoTest, FileWriterAppendsStagesAndTruncates) {
    std::string old = "0123456789";
    ASSERT_TRUE(vntest::WriteTextFile(Path("dl.bin"), old));
    std::string data = Pattern(3 * HttpResponseDataWriter::kStageSize + 17);
    {
        HttpResponseDataWriter w(4);
        ASSERT_TRUE(w.OpenFile(Path("dl.bin").c_str()));
        EXPECT_EQ(10u, w.GetLength());  // a resumed file counts what it holds
        size_t at = 0;
        for (unsigned piece : {1u, 4095u, 2000000u, 65536u}) {
            ASSERT_TRUE(w.Write(data.data() + at, piece));
            at += piece;
        }
        ASSERT_TRUE(w.Write(data.data() + at, static_cast<unsigned>(data.size() - at)));
        EXPECT_EQ(10u + data.size(), w.GetLength());
        EXPECT_EQ(data.size(), w.GetWrittenBytes());
        w.CloseFile();
    }
    EXPECT_EQ(old + data, vntest::ReadTextFile(Path("dl.bin")));
    {
        HttpResponseDataWriter w(5);
        ASSERT_TRUE(w.OpenFile(Path("dl.bin").c_str()));
        ASSERT_TRUE(w.Write("stale", 5));
        ASSERT_TRUE(w.Truncate());  // staged bytes go with the old content
        EXPECT_EQ(0u, w.GetLength());
        ASSERT_TRUE(w.Write("new", 3));
        // Dropped without CloseFile: what was written still reaches the file.
    }
    EXPECT_EQ("new", vntest::ReadTextFile(Path("dl.bin")));
    HttpResponseDataWriter bad(6);
    EXPECT_FALSE(bad.OpenFile((m_dir + "/no/such/dir/x").c_str()));
    EXPECT_FALSE(bad.Write("x", 1));
    EXPECT_FALSE(bad.Truncate());
}

TEST_F(DataIoTest, MemoryWriterGrowsToItsCap) {
    HttpResponseDataWriter w(7);
    EXPECT_FALSE(w.Write(nullptr, 3));
    EXPECT_FALSE(w.Write("x", 0));
    std::string block = Pattern(10240);
    for (int i = 0; i < 100; ++i)
        ASSERT_TRUE(w.Write(block.data(), 10240));
    EXPECT_EQ(1024000u, w.GetLength());
    EXPECT_EQ(0, memcmp(w.GetBuffer() + 10240 * 99, block.data(), 10240));
    EXPECT_EQ('\0', w.GetBuffer()[w.GetBufferLen()]);  // readable as text
    ASSERT_TRUE(w.Truncate());
    EXPECT_EQ(0u, w.GetBufferLen());
    // The cap: a write that would pass it fails and keeps what was collected.
    std::string big(HttpResponseDataWriter::kMaxMemory - 1, 'x');
    ASSERT_TRUE(w.Write(big.data(), static_cast<unsigned>(big.size())));
    EXPECT_TRUE(w.Write("y", 1));
    EXPECT_FALSE(w.Write("z", 1));
    EXPECT_EQ(HttpResponseDataWriter::kMaxMemory, w.GetBufferLen());
}

}  // namespace
