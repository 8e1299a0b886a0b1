// The io layer: the vnio_* functions (every refusal and failure with its errno, copies
// included, which leave no partial destination; open flags; copy sizes around the chunk;
// volume space; the executable's folder), vn::io::CFile and vn::io::CDirectory.
#include <gtest/gtest.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <random>
#include <string>

#include "io/vnio.h"
#include "io/vndirectory.h"
#include "io/vnfile.h"
#include "support/external_peer.h"

namespace {

using vn::io::CDirectory;
using vn::io::CFile;
using vntest::ReadTextFile;
using vntest::WriteTextFile;

// A fresh temporary folder per test, removed afterwards; no descriptor may be left open.
class IoTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_fds = vntest::CountOpenDescriptors();
        m_dir = vntest::MakeTempDir("io");
        ASSERT_FALSE(m_dir.empty());
    }
    void TearDown() override {
        vntest::RemoveTree(m_dir);
        EXPECT_EQ(m_fds, vntest::CountOpenDescriptors()) << "a descriptor was left open";
    }
    std::string Path(const std::string& name) const { return m_dir + "/" + name; }
    static bool Exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }
    // Bytes from a fixed seed, so that misplaced chunks show.
    static std::string RandomText(size_t n, unsigned seed) {
        std::string s(n, '\0');
        std::mt19937 rng(seed);
        std::generate(s.begin(), s.end(), [&] { return static_cast<char>(rng()); });
        return s;
    }

    std::string m_dir;
    int m_fds = 0;
};

TEST_F(IoTest, FailuresSetErrnoAndLeaveNoPartialDestination) {
    // Null arguments are refused (EINVAL), an empty name or mode fails as its conversion
    // (ENOMEM), the kernel's own failures keep its errno. A failed copy removes the regular
    // file it made, and only that.
    const std::string src = RandomText(5000, 7), x = Path("x"), s = Path("src");
    ASSERT_TRUE(WriteTextFile(s, src));
    ASSERT_TRUE(WriteTextFile(Path("plain"), "7"));
    unsigned long long total = 123;
    auto fopen = [](const char* name, const char* mode) {
        return vnio_fopen(name, mode) != nullptr;
    };
    auto copy = [](const std::string& from, const std::string& to) {
        return vnio_copyfile(from.c_str(), to.c_str());
    };
    // errno is reset after each check, so every call starts from 0.
    auto check = [](const char* what, long long got, long long want, int err) {
        EXPECT_EQ(want, got) << what;
        EXPECT_EQ(err, errno) << what;
        errno = 0;
    };
    errno = 0;
    check("fopen null name", fopen(nullptr, "rb"), 0, EINVAL);
    check("fopen null mode", fopen(x.c_str(), nullptr), 0, EINVAL);
    check("fopen empty name", fopen("", "rb"), 0, ENOMEM);
    check("fopen empty mode", fopen(x.c_str(), ""), 0, ENOMEM);
    check("fopen missing", fopen(x.c_str(), "rb"), 0, ENOENT);
    check("rename null from", vnio_rename(nullptr, x.c_str()), EINVAL, EINVAL);
    check("rename null to", vnio_rename(s.c_str(), nullptr), EINVAL, EINVAL);
    check("rename empty from", vnio_rename("", x.c_str()), ENOMEM, ENOMEM);
    check("rename empty to", vnio_rename(s.c_str(), ""), ENOMEM, ENOMEM);
    check("rename missing", vnio_rename(x.c_str(), Path("y").c_str()), -1, ENOENT);
    check("remove null", vnio_remove(nullptr), EINVAL, EINVAL);
    check("remove empty", vnio_remove(""), ENOMEM, ENOMEM);
    check("remove missing", vnio_remove(x.c_str()), -1, ENOENT);
    check("fsinfo null", vnio_fsinfo(nullptr, &total), 0, EINVAL);
    check("fsinfo empty", vnio_fsinfo("", &total), 0, ENOMEM);
    check("fsinfo under a file", vnio_fsinfo(Path("plain/x").c_str(), &total), 0, ENOTDIR);
    check("copy null source", vnio_copyfile(nullptr, x.c_str()), 0, EINVAL);
    check("copy null target", vnio_copyfile(s.c_str(), nullptr), 0, EINVAL);
    check("copy missing source", copy(Path("y"), x), 0, ENOENT);
    check("copy under a file", copy(s, Path("plain/x")), 0, ENOTDIR);
    for (const std::string& same : {s, m_dir + "//./src"})
        check(same.c_str(), copy(s, same), 0, EINVAL);  // the source under any name
    check("copy to a full device", copy(s, "/dev/full"), 0, ENOSPC);
    // sysfs attributes report a size of one page but hold a few bytes.
    check("copy a short source", copy("/sys/devices/system/cpu/online", x), 0, EIO);
    EXPECT_EQ(0u, total);
    EXPECT_FALSE(Exists(x));
    EXPECT_FALSE(Exists(Path("y")));
    EXPECT_EQ(src, ReadTextFile(s));
    EXPECT_EQ("7", ReadTextFile(Path("plain")));
    struct stat st;
    EXPECT_TRUE(stat("/dev/full", &st) == 0 && S_ISCHR(st.st_mode));  // only own files go
}

TEST_F(IoTest, CopyFileSizes) {
    // Empty, one byte, exactly one 512,000-byte chunk, one past, and three chunks; a longer
    // destination is truncated to the source.
    const std::string big = RandomText(1024001, 3), dst = Path("dst");
    for (size_t size : {0, 1, 512000, 512001, 1024001}) {
        SCOPED_TRACE(size);
        const std::string src = Path("src" + std::to_string(size));
        ASSERT_TRUE(WriteTextFile(src, big.substr(0, size)));
        ASSERT_TRUE(WriteTextFile(dst, RandomText(1100000, 2)));
        EXPECT_TRUE(vnio_copyfile(src.c_str(), dst.c_str()));
        EXPECT_EQ(big.substr(0, size), ReadTextFile(dst));
    }
}

TEST_F(IoTest, FopenStreamsAreNotInheritedAndModesKeepTheirMeaning) {
    // Each mode writes its own name where it may: "wb" truncates, "ab" appends.
    for (const char* mode : {"ab", "r+b", "wb", "ab", "rb", "rbe", "r,b"}) {
        SCOPED_TRACE(mode);
        FILE* f = vnio_fopen(Path("g").c_str(), mode);
        ASSERT_NE(nullptr, f);
        EXPECT_NE(0, fcntl(fileno(f), F_GETFD) & FD_CLOEXEC);
        fputs(mode, f);
        fclose(f);
    }
    EXPECT_EQ("wbab", ReadTextFile(Path("g")));
}

TEST_F(IoTest, FsinfoAndInstallDir) {
    struct statvfs vfs;
    ASSERT_EQ(0, statvfs(m_dir.c_str(), &vfs));
    unsigned long long total = 0, total2 = 0;
    const unsigned long long free_bytes = vnio_fsinfo(m_dir.c_str(), &total);
    EXPECT_EQ(static_cast<unsigned long long>(vfs.f_blocks) * vfs.f_frsize, total);
    EXPECT_TRUE(free_bytes > 0 && free_bytes <= total);
    // Other processes write meanwhile; the figure is near the one just read.
    EXPECT_LT(llabs(static_cast<long long>(free_bytes - vfs.f_bavail * vfs.f_frsize)), 1ll << 30);
    EXPECT_GT(vnio_fsinfo(m_dir.c_str(), nullptr), 0u);  // the out value is optional
    // A file that does not exist yet lies on the volume of its folder.
    EXPECT_GT(vnio_fsinfo(Path("not/yet/there.bin").c_str(), &total2), 0u);
    EXPECT_EQ(total, total2);

    // The folder of this program (with its '/'), cached, also as the documents folder.
    const char* dir = vnio_getinstalldir();
    ASSERT_NE(nullptr, dir);
    char real[PATH_MAX];
    ASSERT_NE(nullptr, realpath(program_invocation_name, real));
    std::string expected(real);
    EXPECT_EQ(expected.substr(0, expected.rfind('/') + 1), dir);
    EXPECT_TRUE(dir == vnio_getinstalldir() && dir == vnio_getdocdir());
}

// "файл-文件-😀.txt": Cyrillic, CJK and a character beyond the BMP.
const char kNameUtf8[] =
    "\xd1\x84\xd0\xb0\xd0\xb9\xd0\xbb-\xe6\x96\x87\xe4\xbb\xb6-\xf0\x9f\x98\x80.txt";
const char16_t kNameUtf16[] = u"\u0444\u0430\u0439\u043b-\u6587\u4ef6-\U0001F600.txt";

TEST_F(IoTest, FileNamesInBothEncodingsNameTheSameFile) {
    vn::strutf16 wide(m_dir.c_str()), moved(m_dir.c_str());
    wide += u"/";
    wide += kNameUtf16;
    moved += u"/\u79fb\u52a8.txt";
    CFile f;
    ASSERT_TRUE(f.Open(wide.c_str(), u"wb"));
    EXPECT_EQ(wide, f.GetFileName());
    EXPECT_FALSE(f.Open(Path("b").c_str(), "wb"));  // an open object refuses another
    EXPECT_EQ(5, f.Write("hello", 5));
    EXPECT_TRUE(f.Close());
    ASSERT_TRUE(f.Open(Path(kNameUtf8).c_str(), "rb"));  // on disk the name is UTF-8
    EXPECT_EQ(wide, f.GetFileName());
    char buf[8] = {};
    EXPECT_EQ(5, f.Read(buf, 8));  // asking for more than there is returns what there is
    EXPECT_STREQ("hello", buf);
    EXPECT_EQ(0, f.Read(buf, -5) + f.Read(nullptr, 4));
    EXPECT_TRUE(f.Close());
    EXPECT_TRUE(CFile::Move(wide.c_str(), moved.c_str()) && !CFile::IsExisted(wide.c_str()));
    EXPECT_TRUE(CFile::Move(Path("\xe7\xa7\xbb\xe5\x8a\xa8.txt").c_str(), Path(kNameUtf8).c_str()));
    EXPECT_TRUE(CFile::Remove(wide.c_str()));
    EXPECT_FALSE(CFile::Remove(Path(kNameUtf8).c_str()) ||
                 CFile::Move(Path("a").c_str(), Path("c").c_str()));
    // '\\' is an ordinary character in a Linux name; the stored name shows it as '/'.
    ASSERT_TRUE(f.Open(Path("back\\slash").c_str(), "wb"));
    EXPECT_EQ(vn::strutf16(Path("back/slash").c_str()), f.GetFileName());
}

TEST_F(IoTest, FileRefusalsClosedObjectsAndHandOver) {
    CFile f;
    errno = 0;
    EXPECT_FALSE(f.Open(Path("missing").c_str(), "rb"));
    EXPECT_EQ(ENOENT, errno);
    EXPECT_FALSE(f.Open("", "rb"));  // fails as the conversion of the name
    EXPECT_EQ(ENOMEM, errno);
    const char16_t* null16 = nullptr;
    EXPECT_FALSE(f.Open(Path("a").c_str(), nullptr) || f.Open(null16, u"rb") ||
                 f.Open(u"a", null16) || f.Open(null16, "rb") || CFile::Move(null16, u"x") ||
                 CFile::Remove(null16));
    char buf[4] = {};
    // A closed object refuses every operation on the file.
    EXPECT_FALSE(f.Seek(0, CFile::eSeekBegin) || f.SetSize(10) || f.Flush() || f.Close());
    EXPECT_EQ(-2, f.GetPos() + f.GetSize());
    EXPECT_EQ(0, f.Read(buf, 4) + f.Write(buf, 4));
    EXPECT_EQ(nullptr, f.Detach());
    // A copy of an open object is closed (two objects would close one stream) but keeps
    // the name; a detached stream stays open; attaching another closes the one held.
    ASSERT_TRUE(f.Open(Path("a").c_str(), "wb"));
    CFile copy(f), assigned;
    ASSERT_TRUE(assigned.Open(Path("b").c_str(), "wb"));
    assigned = f;
    EXPECT_FALSE(copy.IsOpened() || assigned.IsOpened());
    EXPECT_TRUE(copy.GetFileName() == f.GetFileName() && assigned.GetFileName() == f.GetFileName());
    FILE* stream = f.Detach();
    ASSERT_NE(nullptr, stream);
    f.Attach(stream);
    EXPECT_EQ(0u, f.GetFileName().length());
    EXPECT_EQ(3, f.Write("abc", 3));
    EXPECT_EQ(0, f.Write(nullptr, 3) + f.Write("abc", 0));
    EXPECT_TRUE(f.Flush());
    int fds[2];
    ASSERT_EQ(0, pipe(fds));
    close(fds[1]);
    f.Attach(fdopen(fds[0], "rb"));
    EXPECT_EQ("abc", ReadTextFile(Path("a")));
    EXPECT_EQ(-1, f.GetSize());  // a pipe has no size
    EXPECT_FALSE(f.SetSize(0) || f.Seek(0, CFile::eSeekBegin));
    EXPECT_TRUE(f.Close());
    ASSERT_TRUE(f.Open("/dev/full", "wb"));
    setvbuf(f, nullptr, _IONBF, 0);
    EXPECT_EQ(0, f.Write(buf, 4));  // what was written: nothing
    EXPECT_EQ(ENOSPC, errno);
}

TEST_F(IoTest, FileSeekAndSetSizeUse64BitOffsets) {
    const long long far = 5ll << 30;  // past every 32-bit offset
    CFile f;
    ASSERT_TRUE(f.Open(Path("a").c_str(), "w+b"));
    EXPECT_EQ(10, f.Write("0123456789", 10));
    // Still in the stream's buffer: the cut must not be undone when it is written out.
    EXPECT_TRUE(f.SetSize(4));
    EXPECT_EQ(10, f.GetPos());
    ASSERT_TRUE(f.Seek(far, CFile::eSeekBegin));
    EXPECT_EQ(1, f.Write("z", 1));
    EXPECT_TRUE(f.GetSize() == far + 1 && f.GetPos() == far + 1);
    ASSERT_TRUE(f.Seek(-10, CFile::eSeekEnd));
    EXPECT_FALSE(f.Seek(-1, CFile::eSeekBegin));
    ASSERT_TRUE(f.Seek(-1, CFile::eSeekCurrent));
    EXPECT_EQ(far - 10, f.GetPos());
    // Down below the position, the same size, negative: the position stays each time.
    for (long long size : {20ll, 20ll, -1ll})
        EXPECT_EQ(size >= 0, f.SetSize(size)) << size;
    EXPECT_EQ(far - 10, f.GetPos());
    EXPECT_TRUE(f.Close());
    EXPECT_EQ(std::string("0123") + std::string(16, '\0'), ReadTextFile(Path("a")));
    ASSERT_TRUE(f.Open(Path("a").c_str(), "rb"));
    EXPECT_FALSE(f.SetSize(10));  // read-only
}

TEST_F(IoTest, FileIsExistedFalseOnlyWhenThereIsNoSuchFile) {
    ASSERT_TRUE(WriteTextFile(Path("file"), "1"));
    ASSERT_EQ(0, symlink(Path("missing").c_str(), Path("dangling").c_str()));
    ASSERT_EQ(0, symlink(Path("loop").c_str(), Path("loop").c_str()));
    const struct {
        const char* name;
        bool exists;
    } cases[] = {{"file", true},     {"", true},
                 {"missing", false}, {"missing/deeper", false},
                 {"file/x", false},  {"dangling", false},
                 {"loop", true}};  // any other failure than "no such file" counts as there
    for (const auto& c : cases)
        EXPECT_EQ(c.exists, CFile::IsExisted(Path(c.name).c_str())) << c.name;
    EXPECT_TRUE(CFile::IsExisted(u"/"));
    EXPECT_FALSE(CFile::IsExisted("") || CFile::IsExisted(static_cast<const char16_t*>(nullptr)));
}

TEST_F(IoTest, DirectoryCreateOpenAndRefusals) {
    mode_t old_mask = umask(027);
    EXPECT_TRUE(CDirectory::Create(Path("x//y/z///").c_str()));  // all parents
    umask(old_mask);
    for (const char* p : {"x", "x/y", "x/y/z"}) {
        struct stat st;
        ASSERT_EQ(0, stat(Path(p).c_str(), &st)) << p;
        EXPECT_EQ(S_IFDIR | 0750u, st.st_mode) << p;
    }
    errno = 0;
    EXPECT_FALSE(CDirectory::Create(Path("x/y/z").c_str()));
    EXPECT_EQ(EEXIST, errno);
    vn::strutf16 wide(m_dir.c_str());
    wide += u"/\u76ee\u5f55/\U0001F600";  // 目录/😀
    EXPECT_TRUE(CDirectory::Create(wide.c_str()));
    EXPECT_TRUE(CDirectory::IsExisted(Path("\xe7\x9b\xae\xe5\xbd\x95/\xf0\x9f\x98\x80").c_str()) &&
                CDirectory::IsExisted(wide.c_str()));
    EXPECT_FALSE(CDirectory::IsExisted(u"/no/such/\u76ee\u5f55"));
    const std::string file = Path("file");
    ASSERT_TRUE(WriteTextFile(file, "1"));
    for (const char* p : {"", "/", file.c_str()})
        EXPECT_FALSE(CDirectory::Create(p)) << p;
    EXPECT_FALSE(CDirectory::Create(static_cast<const char16_t*>(nullptr)));
    errno = 0;
    EXPECT_FALSE(CDirectory::Create(Path("file/x/y").c_str()));
    EXPECT_EQ(ENOTDIR, errno);

    CDirectory d, e;
    ASSERT_TRUE(d.Open(Path("x").c_str(), "r") && d.IsOpened());
    EXPECT_EQ(vn::strutf16(Path("x").c_str()), vn::strutf16(d.GetFolderName()));
    EXPECT_FALSE(d.Open(Path("x").c_str(), "r"));
    EXPECT_TRUE(d.Close());
    EXPECT_FALSE(d.Close() || d.Open(Path("missing").c_str(), "r") || d.Open(nullptr, "r"));
    EXPECT_TRUE(e.Open(Path("x").c_str(), "r"));  // the destructor closes it
}

}  // namespace
