// vnio_copyfile: content of every size class, the chunk boundaries, and every way a copy
// can fail ending in false, with both files closed and no partial destination left.
#include <gtest/gtest.h>
#include <errno.h>
#include <signal.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "io/vnfile.h"
#include "io/vnio.h"
#include "io/io_test_util.h"

namespace {

using iotest::Exists;
using iotest::ReadBytes;
using iotest::WriteBytes;

typedef iotest::IoTest CopyFileTest;

// Lowers the largest file this process may write, so that a write fails part-way with
// EFBIG (SIGXFSZ ignored meanwhile). Restores both on destruction.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t limit) {
        getrlimit(RLIMIT_FSIZE, &m_old);
        m_oldHandler = signal(SIGXFSZ, SIG_IGN);
        struct rlimit lim = m_old;
        lim.rlim_cur = limit;
        m_ok = setrlimit(RLIMIT_FSIZE, &lim) == 0;
    }
    ~FileSizeLimit() {
        setrlimit(RLIMIT_FSIZE, &m_old);
        signal(SIGXFSZ, m_oldHandler);
    }
    bool ok() const { return m_ok; }

private:
    struct rlimit m_old;
    sighandler_t m_oldHandler;
    bool m_ok = false;
};

TEST_F(CopyFileTest, CopiesEverySizeClass) {
    // Empty, one byte, exactly one chunk, one past a chunk, and three chunks
    // (512,000 + 512,000 + 1).
    const size_t sizes[] = {0, 1, 512000, 512001, 1024001};
    for (size_t size : sizes) {
        SCOPED_TRACE(size);
        std::vector<unsigned char> data = iotest::RandomBytes(size, static_cast<unsigned>(size));
        std::string src = Path("src" + std::to_string(size));
        std::string dst = Path("dst" + std::to_string(size));
        ASSERT_TRUE(WriteBytes(src, data));
        // A longer destination is truncated to the source.
        ASSERT_TRUE(WriteBytes(dst, iotest::RandomBytes(1100000, 2)));
        EXPECT_TRUE(vnio_copyfile(src.c_str(), dst.c_str()));
        EXPECT_EQ(data, ReadBytes(dst));
        EXPECT_EQ(data, ReadBytes(src));
    }
}

TEST_F(CopyFileTest, ShortWriteEndsAndRemovesThePartialDestination) {
    // With room for 1,024,000 bytes two full chunks land and the 1-byte third one is
    // refused with EFBIG; with room for 600,000 the second chunk fails part-way. The copy
    // reports where it stopped, in whole chunks.
    std::vector<unsigned char> data = iotest::RandomBytes(1024001, 3);
    std::string src = Path("src"), dst = Path("dst");
    ASSERT_TRUE(WriteBytes(src, data));
    const long long cases[][2] = {{1024000, 1024000}, {600000, 512000}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c[0]);
        bool ok;
        {
            FileSizeLimit limit(c[0]);
            ASSERT_TRUE(limit.ok());
            errno = 0;
            ok = vnio_copyfile(src.c_str(), dst.c_str());
            EXPECT_EQ(EFBIG, errno);
        }
        EXPECT_FALSE(ok);
        EXPECT_FALSE(Exists(dst)) << "a partial destination was left behind";
        EXPECT_EQ(data, ReadBytes(src));
    }
}

TEST_F(CopyFileTest, FullDeviceFailsAndIsNotRemoved) {
    struct stat st;
    if (stat("/dev/full", &st) != 0 || !S_ISCHR(st.st_mode)) GTEST_SKIP() << "no /dev/full";
    ASSERT_TRUE(WriteBytes(Path("src"), iotest::RandomBytes(600000, 5)));
    errno = 0;
    EXPECT_FALSE(vnio_copyfile(Path("src").c_str(), "/dev/full"));
    EXPECT_EQ(ENOSPC, errno);
    // Only a regular file made by the copy is removed after a failure.
    ASSERT_EQ(0, stat("/dev/full", &st));
    EXPECT_TRUE(S_ISCHR(st.st_mode));
}

TEST_F(CopyFileTest, SourceShorterThanItsSizeEnds) {
    // sysfs attributes report a size of one page but hold a few bytes: the first chunk
    // comes back short.
    const char* attr = "/sys/devices/system/cpu/online";
    struct stat st;
    if (stat(attr, &st) != 0 || st.st_size <= 16) GTEST_SKIP() << "no sysfs attribute";
    std::string dst = Path("dst");
    errno = 0;
    EXPECT_FALSE(vnio_copyfile(attr, dst.c_str()));
    EXPECT_EQ(EIO, errno);
    EXPECT_FALSE(Exists(dst));
}

TEST_F(CopyFileTest, UnopenableDestinationOrSourceFails) {
    ASSERT_TRUE(WriteBytes(Path("src"), {1, 2, 3}));
    ASSERT_TRUE(WriteBytes(Path("plain"), {7}));
    std::string dst = Path("missing/dst");
    errno = 0;
    EXPECT_FALSE(vnio_copyfile(Path("src").c_str(), dst.c_str()));
    EXPECT_EQ(ENOENT, errno);
    EXPECT_FALSE(Exists(Path("missing")));
    errno = 0;
    EXPECT_FALSE(vnio_copyfile(Path("src").c_str(), Path("plain/dst").c_str()));
    EXPECT_EQ(ENOTDIR, errno);
    EXPECT_EQ((std::vector<unsigned char>{7}), ReadBytes(Path("plain")));

    errno = 0;
    EXPECT_FALSE(vnio_copyfile(Path("missing").c_str(), Path("dst").c_str()));
    EXPECT_EQ(ENOENT, errno);
    EXPECT_FALSE(vnio_copyfile(nullptr, Path("dst").c_str()));
    EXPECT_FALSE(vnio_copyfile(Path("src").c_str(), nullptr));
    EXPECT_FALSE(Exists(Path("dst")));
}

TEST_F(CopyFileTest, CopyOntoItselfIsRefusedAndKeepsTheData) {
    std::vector<unsigned char> data = iotest::RandomBytes(5000, 7);
    ASSERT_TRUE(WriteBytes(Path("src"), data));
    ASSERT_EQ(0, link(Path("src").c_str(), Path("hard").c_str()));
    ASSERT_EQ(0, symlink(Path("src").c_str(), Path("soft").c_str()));
    const std::string targets[] = {Path("src"), Path("hard"), Path("soft"), m_dir + "//./src"};
    for (const std::string& dst : targets) {
        SCOPED_TRACE(dst);
        errno = 0;
        EXPECT_FALSE(vnio_copyfile(Path("src").c_str(), dst.c_str()));
        EXPECT_EQ(EINVAL, errno);
        EXPECT_EQ(data, ReadBytes(Path("src")));
    }
}

}  // namespace
