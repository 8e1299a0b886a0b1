// The vnio_* functions: argument checks with their errno and log lines, open flags,
// rename and remove results, volume space and the executable's folder.
#include <gtest/gtest.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <sys/statvfs.h>

#include <string>
#include <thread>
#include <vector>

#include "io/vnio.h"
#include "io/io_test_util.h"

namespace {

using iotest::Exists;

class VnioTest : public iotest::IoTest {};

TEST_F(VnioTest, FopenFailures) {
    // {name, mode, errno}: null arguments are refused, an empty name or mode fails as its
    // conversion, the kernel's own failures keep its errno.
    const std::string x = Path("x"), missing = Path("missing"), nodir = Path("no/such/dir");
    const struct {
        const char* name;
        const char* mode;
        int err;
    } cases[] = {
        {nullptr, "rb", 22}, {x.c_str(), nullptr, 22},        {"", "rb", 12},
        {x.c_str(), "", 12}, {missing.c_str(), "rb", ENOENT}, {nodir.c_str(), "wb", ENOENT}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.err);
        errno = 0;
        EXPECT_EQ(nullptr, vnio_fopen(c.name, c.mode));
        EXPECT_EQ(c.err, errno);
    }
    EXPECT_FALSE(Exists(x));
}

TEST_F(VnioTest, FopenStreamsAreNotInheritedByChildren) {
    const char* modes[] = {"wb", "rb", "ab", "r+b", "w+"};
    for (const char* mode : modes) {
        SCOPED_TRACE(mode);
        FILE* f = vnio_fopen(Path("f").c_str(), mode);
        ASSERT_NE(nullptr, f);
        int flags = fcntl(fileno(f), F_GETFD);
        EXPECT_NE(0, flags & FD_CLOEXEC);
        fclose(f);
    }
    // The mode still means what it says: "ab" appends, "wb" truncates.
    FILE* f = vnio_fopen(Path("g").c_str(), "wb");
    ASSERT_NE(nullptr, f);
    fputs("abc", f);
    fclose(f);
    f = vnio_fopen(Path("g").c_str(), "ab");
    ASSERT_NE(nullptr, f);
    fputs("de", f);
    fclose(f);
    EXPECT_EQ(5, iotest::FileSize(Path("g")));
    f = vnio_fopen(Path("g").c_str(), "wb");
    ASSERT_NE(nullptr, f);
    fclose(f);
    EXPECT_EQ(0, iotest::FileSize(Path("g")));
}

TEST_F(VnioTest, RenameMovesAndReplaces) {
    ASSERT_TRUE(iotest::WriteBytes(Path("a"), {1, 2, 3}));
    ASSERT_TRUE(iotest::WriteBytes(Path("b"), {9}));
    EXPECT_EQ(0, vnio_rename(Path("a").c_str(), Path("b").c_str()));
    EXPECT_FALSE(Exists(Path("a")));
    EXPECT_EQ((std::vector<unsigned char>{1, 2, 3}), iotest::ReadBytes(Path("b")));

    errno = 0;
    int rc = vnio_rename(Path("a").c_str(), Path("c").c_str());
    EXPECT_NE(0, rc);
    EXPECT_EQ(ENOENT, errno);
}

TEST_F(VnioTest, FsinfoMatchesTheVolume) {
    struct statvfs vfs;
    ASSERT_EQ(0, statvfs(m_dir.c_str(), &vfs));
    unsigned long long unit = vfs.f_frsize;
    unsigned long long total = 0;
    unsigned long long free_bytes = vnio_fsinfo(m_dir.c_str(), &total);
    EXPECT_EQ(static_cast<unsigned long long>(vfs.f_blocks) * unit, total);
    EXPECT_GT(free_bytes, 0u);
    EXPECT_LE(free_bytes, total);
    // Other processes write meanwhile; the figure is near the one just read.
    unsigned long long expected = static_cast<unsigned long long>(vfs.f_bavail) * unit;
    unsigned long long diff = free_bytes > expected ? free_bytes - expected : expected - free_bytes;
    EXPECT_LT(diff, 1ull << 30);

    // The out value is optional.
    EXPECT_GT(vnio_fsinfo(m_dir.c_str(), nullptr), 0u);

    // A file that does not exist yet lies on the volume of its folder.
    unsigned long long total2 = 0;
    EXPECT_GT(vnio_fsinfo(Path("not/yet/there.bin").c_str(), &total2), 0u);
    EXPECT_EQ(total, total2);
}

TEST_F(VnioTest, InstallDirIsTheTestProgramsFolder) {
    const char* dir = vnio_getinstalldir();
    ASSERT_NE(nullptr, dir);
    std::string got(dir);
    ASSERT_FALSE(got.empty());
    EXPECT_EQ('/', got.back());

    // The folder that holds this program, as the name it was started by leads to it.
    char real[PATH_MAX];
    ASSERT_NE(nullptr, realpath(program_invocation_name, real));
    std::string expected(real);
    expected.resize(expected.rfind('/') + 1);
    EXPECT_EQ(expected, got);
    struct stat st;
    EXPECT_EQ(0, stat((got + program_invocation_short_name).c_str(), &st));

    // Cached: the same text at the same place, also for the documents folder.
    EXPECT_EQ(dir, vnio_getinstalldir());
    EXPECT_EQ(dir, vnio_getdocdir());
}

TEST_F(VnioTest, RenameWithNullReturns22AndEmptyName12) {
    ASSERT_TRUE(iotest::WriteBytes(Path("a"), {1}));
    const std::string a = Path("a"), b = Path("b");
    const struct {
        const char* from;
        const char* to;
        int err;
    } cases[] = {{nullptr, b.c_str(), 22},
                 {a.c_str(), nullptr, 22},
                 {nullptr, nullptr, 22},
                 {"", b.c_str(), 12},
                 {a.c_str(), "", 12}};
    for (const auto& c : cases) {
        errno = 0;
        EXPECT_EQ(c.err, vnio_rename(c.from, c.to));
        EXPECT_EQ(c.err, errno);
    }
    EXPECT_TRUE(Exists(a));
}

TEST_F(VnioTest, RemoveResults) {
    errno = 0;
    EXPECT_EQ(22, vnio_remove(nullptr));
    EXPECT_EQ(22, errno);
    errno = 0;
    EXPECT_EQ(12, vnio_remove(""));
    EXPECT_EQ(12, errno);

    ASSERT_TRUE(iotest::WriteBytes(Path("a"), {1}));
    EXPECT_EQ(0, vnio_remove(Path("a").c_str()));
    EXPECT_FALSE(Exists(Path("a")));
    errno = 0;
    EXPECT_NE(0, vnio_remove(Path("a").c_str()));
    EXPECT_EQ(ENOENT, errno);
}

TEST_F(VnioTest, FsinfoFailures) {
    unsigned long long total = 123;
    errno = 0;
    EXPECT_EQ(0u, vnio_fsinfo(nullptr, &total));
    EXPECT_EQ(22, errno);
    EXPECT_EQ(0u, total);

    total = 123;
    errno = 0;
    EXPECT_EQ(0u, vnio_fsinfo("", &total));
    EXPECT_EQ(12, errno);
    EXPECT_EQ(0u, total);

    // A name under a regular file cannot be on any volume.
    ASSERT_TRUE(iotest::WriteBytes(Path("file"), {1}));
    errno = 0;
    EXPECT_EQ(0u, vnio_fsinfo(Path("file/x").c_str(), &total));
    EXPECT_EQ(ENOTDIR, errno);
}

}  // namespace
