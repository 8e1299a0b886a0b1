// vn::io::CFile: opening by UTF-8 and UTF-16 names, the refusals and their log lines,
// handle ownership, 64-bit positions, SetSize, transfers, and the static name helpers.
#include <gtest/gtest.h>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "io/vnfile.h"
#include "io/vnio.h"
#include "io/io_test_util.h"

namespace {

using iotest::Exists;
using iotest::FileSize;
using iotest::ReadBytes;
using iotest::WriteBytes;
using vn::io::CFile;

class FileTest : public iotest::IoTest {};

std::vector<std::string> Entries(const std::string& dir) {
    std::vector<std::string> names;
    DIR* d = opendir(dir.c_str());
    if (!d) return names;
    while (struct dirent* e = readdir(d)) {
        std::string n = e->d_name;
        if (n != "." && n != "..") names.push_back(n);
    }
    closedir(d);
    return names;
}

// "файл-文件-😀.txt" in both encodings: Cyrillic, CJK and a character beyond the BMP.
const char kNameUtf8[] =
    "\xd1\x84\xd0\xb0\xd0\xb9\xd0\xbb-\xe6\x96\x87\xe4\xbb\xb6-\xf0\x9f\x98\x80.txt";
const char16_t kNameUtf16[] = u"\u0444\u0430\u0439\u043b-\u6587\u4ef6-\U0001F600.txt";

TEST_F(FileTest, WriteThenReadBack) {
    std::vector<unsigned char> data = iotest::RandomBytes(100000, 1);
    CFile f;
    EXPECT_FALSE(f.IsOpened());
    ASSERT_TRUE(f.Open(Path("a.bin").c_str(), "wb"));
    EXPECT_TRUE(f.IsOpened());
    EXPECT_NE(nullptr, static_cast<FILE*>(f));
    EXPECT_EQ(100000, f.Write(data.data(), 100000));
    EXPECT_TRUE(f.Flush());
    EXPECT_EQ(100000, FileSize(Path("a.bin")));
    EXPECT_TRUE(f.Close());
    EXPECT_FALSE(f.IsOpened());

    ASSERT_TRUE(f.Open(Path("a.bin").c_str(), "rb"));
    std::vector<unsigned char> back(200000, 0xEE);
    // Asking for more than there is returns what there is.
    EXPECT_EQ(100000, f.Read(back.data(), 200000));
    back.resize(100000);
    EXPECT_EQ(data, back);
    EXPECT_EQ(0, f.Read(back.data(), 10));
    EXPECT_EQ(0, f.Read(back.data(), 0));
    EXPECT_EQ(0, f.Read(back.data(), -5));
}

TEST_F(FileTest, OpenRefusals) {
    CFile f;
    EXPECT_FALSE(f.Open(static_cast<const char*>(nullptr), "rb"));
    EXPECT_FALSE(f.Open(Path("a").c_str(), nullptr));
    EXPECT_FALSE(f.Open(static_cast<const char16_t*>(nullptr), u"rb"));
    EXPECT_FALSE(f.Open(u"a", static_cast<const char16_t*>(nullptr)));
    EXPECT_FALSE(f.Open(static_cast<const char16_t*>(nullptr), "rb"));

    errno = 0;
    EXPECT_FALSE(f.Open(Path("missing").c_str(), "rb"));
    EXPECT_EQ(ENOENT, errno);
    EXPECT_FALSE(f.IsOpened());
    EXPECT_EQ(0u, f.GetFileName().length());

    // An empty name fails as the conversion of the name, then as the open.
    errno = 0;
    EXPECT_FALSE(f.Open("", "rb"));
    EXPECT_EQ(12, errno);
}

TEST_F(FileTest, Utf8AndUtf16NamesNameTheSameFile) {
    std::string u8path = Path(kNameUtf8);
    vn::strutf16 u16path(m_dir.c_str());
    u16path += u"/";
    u16path += kNameUtf16;

    CFile f;
    ASSERT_TRUE(f.Open(u16path.c_str(), u"wb"));
    EXPECT_EQ(u16path, f.GetFileName());
    EXPECT_EQ(5, f.Write("hello", 5));
    EXPECT_TRUE(f.Close());
    // On disk the name is the UTF-8 bytes.
    EXPECT_EQ(std::vector<std::string>{kNameUtf8}, Entries(m_dir));

    ASSERT_TRUE(f.Open(u8path.c_str(), "rb"));
    EXPECT_EQ(u16path, f.GetFileName());
    char buf[8] = {};
    EXPECT_EQ(5, f.Read(buf, 8));
    EXPECT_STREQ("hello", buf);
    EXPECT_TRUE(f.Close());

    ASSERT_TRUE(f.Open(u16path.c_str(), "ab"));
    EXPECT_TRUE(f.Close());

    EXPECT_TRUE(CFile::IsExisted(u8path.c_str()));
    EXPECT_TRUE(CFile::IsExisted(u16path.c_str()));

    vn::strutf16 moved(m_dir.c_str());
    moved += u"/\u79fb\u52a8.txt";  // 移动.txt
    EXPECT_TRUE(CFile::Move(u16path.c_str(), moved.c_str()));
    EXPECT_FALSE(CFile::IsExisted(u16path.c_str()));
    EXPECT_EQ(std::vector<std::string>{"\xe7\xa7\xbb\xe5\x8a\xa8.txt"}, Entries(m_dir));
    EXPECT_TRUE(CFile::Move(Path("\xe7\xa7\xbb\xe5\x8a\xa8.txt").c_str(), u8path.c_str()));
    EXPECT_TRUE(CFile::Remove(u16path.c_str()));
    EXPECT_TRUE(Entries(m_dir).empty());
    EXPECT_FALSE(CFile::Remove(u16path.c_str()));
}

TEST_F(FileTest, SeekAndSizeUse64BitOffsets) {
    const long long far = 5ll << 30;  // 5 GiB, past every 32-bit offset
    CFile f;
    ASSERT_TRUE(f.Open(Path("sparse").c_str(), "wb"));
    ASSERT_TRUE(f.Seek(far, CFile::eSeekBegin));
    EXPECT_EQ(far, f.GetPos());
    EXPECT_EQ(1, f.Write("z", 1));
    EXPECT_EQ(far + 1, f.GetPos());
    EXPECT_EQ(far + 1, f.GetSize());
    EXPECT_EQ(far + 1, f.GetPos());
    ASSERT_TRUE(f.Seek(-1, CFile::eSeekCurrent));
    EXPECT_EQ(far, f.GetPos());
    ASSERT_TRUE(f.Seek(-10, CFile::eSeekEnd));
    EXPECT_EQ(far - 9, f.GetPos());
    EXPECT_FALSE(f.Seek(-1, CFile::eSeekBegin));
    EXPECT_EQ(far - 9, f.GetPos());
    EXPECT_TRUE(f.Close());
    EXPECT_EQ(far + 1, FileSize(Path("sparse")));

    ASSERT_TRUE(f.Open(Path("sparse").c_str(), "rb"));
    ASSERT_TRUE(f.Seek(far, CFile::eSeekBegin));
    char c = 0;
    EXPECT_EQ(1, f.Read(&c, 1));
    EXPECT_EQ('z', c);
}

TEST_F(FileTest, SetSizeUpDownAndSame) {
    std::vector<unsigned char> data = iotest::RandomBytes(100, 2);
    ASSERT_TRUE(WriteBytes(Path("a"), data));
    CFile f;
    ASSERT_TRUE(f.Open(Path("a").c_str(), "r+b"));
    ASSERT_TRUE(f.Seek(30, CFile::eSeekBegin));

    // Up: the new bytes read as zero, the position stays.
    EXPECT_TRUE(f.SetSize(200));
    EXPECT_EQ(30, f.GetPos());
    EXPECT_EQ(200, f.GetSize());
    EXPECT_EQ(200, FileSize(Path("a")));

    // Down, below the position: the position still stays.
    ASSERT_TRUE(f.Seek(150, CFile::eSeekBegin));
    EXPECT_TRUE(f.SetSize(50));
    EXPECT_EQ(150, f.GetPos());
    EXPECT_EQ(50, FileSize(Path("a")));

    // The same size: true at once, the position untouched.
    ASSERT_TRUE(f.Seek(7, CFile::eSeekBegin));
    EXPECT_TRUE(f.SetSize(50));
    EXPECT_EQ(7, f.GetPos());
    EXPECT_EQ(50, FileSize(Path("a")));

    EXPECT_FALSE(f.SetSize(-1));
    EXPECT_EQ(7, f.GetPos());
    EXPECT_TRUE(f.Close());

    std::vector<unsigned char> back = ReadBytes(Path("a"));
    ASSERT_EQ(50u, back.size());
    EXPECT_TRUE(std::equal(back.begin(), back.end(), data.begin()));

    // Grow to 200 and back to 50 gave zeros in between, not the old tail.
    ASSERT_TRUE(f.Open(Path("a").c_str(), "r+b"));
    EXPECT_TRUE(f.SetSize(120));
    EXPECT_TRUE(f.Close());
    back = ReadBytes(Path("a"));
    ASSERT_EQ(120u, back.size());
    for (size_t i = 50; i < 120; ++i)
        EXPECT_EQ(0, back[i]) << i;
}

TEST_F(FileTest, IsExistedFalseOnlyWhenThereIsNoSuchFile) {
    ASSERT_TRUE(WriteBytes(Path("file"), {1}));
    ASSERT_EQ(0, mkdir(Path("dir").c_str(), 0755));
    EXPECT_TRUE(CFile::IsExisted(Path("file").c_str()));
    EXPECT_TRUE(CFile::IsExisted(Path("dir").c_str()));
    EXPECT_TRUE(CFile::IsExisted(u"/"));
    EXPECT_FALSE(CFile::IsExisted(Path("missing").c_str()));
    EXPECT_FALSE(CFile::IsExisted(Path("missing/deeper").c_str()));
    EXPECT_FALSE(CFile::IsExisted(""));
    EXPECT_FALSE(CFile::IsExisted(u""));
    // A name under a regular file is missing too (ENOTDIR here, "no such file" elsewhere).
    EXPECT_FALSE(CFile::IsExisted(Path("file/x").c_str()));
    // A dangling symbolic link leads nowhere.
    ASSERT_EQ(0, symlink(Path("missing").c_str(), Path("dangling").c_str()));
    EXPECT_FALSE(CFile::IsExisted(Path("dangling").c_str()));

    EXPECT_FALSE(CFile::IsExisted(static_cast<const char*>(nullptr)));
    EXPECT_FALSE(CFile::IsExisted(static_cast<const char16_t*>(nullptr)));
}

}  // namespace

// A copy of an open object is closed (two objects sharing one stream would both close
// it); a copy of any object keeps the name.
TEST_F(FileTest, CopiesAreClosedAndKeepTheName) {
    vn::io::CFile f;
    ASSERT_TRUE(f.Open(Path("c.txt").c_str(), "wb"));
    vn::io::CFile copy(f);
    EXPECT_FALSE(copy.IsOpened());
    EXPECT_TRUE(copy.GetFileName() == f.GetFileName());
    vn::io::CFile assigned;
    ASSERT_TRUE(assigned.Open(Path("d.txt").c_str(), "wb"));
    assigned = f;
    EXPECT_FALSE(assigned.IsOpened());
    EXPECT_TRUE(assigned.GetFileName() == f.GetFileName());
    EXPECT_TRUE(f.IsOpened());
    EXPECT_EQ(4, f.Write("data", 4));
    EXPECT_TRUE(f.Close());
    vn::io::CFile closed(f);
    EXPECT_TRUE(closed.GetFileName() == f.GetFileName());
}

TEST_F(FileTest, OpenOnAnOpenObjectIsRefused) {
    CFile f;
    ASSERT_TRUE(f.Open(Path("a").c_str(), "wb"));
    FILE* held = f;
    EXPECT_FALSE(f.Open(Path("b").c_str(), "wb"));
    EXPECT_FALSE(f.Open(u"b", u"wb"));
    EXPECT_FALSE(f.Open(static_cast<const char*>(nullptr), nullptr));
    EXPECT_EQ(held, static_cast<FILE*>(f));
    EXPECT_FALSE(Exists(Path("b")));
}

TEST_F(FileTest, NameKeepsForwardSlashesOnly) {
    // '\' is an ordinary character in a Linux name; the stored name shows it as '/'.
    CFile f;
    ASSERT_TRUE(f.Open(Path("back\\slash.txt").c_str(), "wb"));
    EXPECT_TRUE(Exists(Path("back\\slash.txt")));
    EXPECT_EQ(vn::strutf16(Path("back/slash.txt").c_str()), f.GetFileName());
}

TEST_F(FileTest, EveryOperationOnAClosedObjectIsRefused) {
    CFile f;
    char buf[4] = {};
    EXPECT_FALSE(f.Seek(0, CFile::eSeekBegin));
    EXPECT_EQ(-1, f.GetPos());
    EXPECT_EQ(-1, f.GetSize());
    EXPECT_FALSE(f.SetSize(10));
    EXPECT_EQ(0, f.Read(buf, 4));
    EXPECT_EQ(0, f.Write(buf, 4));
    EXPECT_FALSE(f.Flush());

    // Closing, detaching and asking are no operations on the file: false, null, quietly.
    EXPECT_FALSE(f.Close());
    EXPECT_EQ(nullptr, f.Detach());
    EXPECT_FALSE(f.IsOpened());
    EXPECT_EQ(nullptr, static_cast<FILE*>(f));

    // The same after a close.
    ASSERT_TRUE(f.Open(Path("a").c_str(), "wb"));
    EXPECT_TRUE(f.Close());
    EXPECT_EQ(-1, f.GetSize());
}

TEST_F(FileTest, DetachAndAttachHandOverTheStream) {
    CFile f;
    ASSERT_TRUE(f.Open(Path("a").c_str(), "wb"));
    FILE* stream = f.Detach();
    ASSERT_NE(nullptr, stream);
    EXPECT_FALSE(f.IsOpened());
    // Still open: the object forgot it without closing it.
    EXPECT_NE(-1, fcntl(fileno(stream), F_GETFD));

    FILE* other = fopen(Path("b").c_str(), "wb");
    ASSERT_NE(nullptr, other);
    f.Attach(stream);
    EXPECT_EQ(stream, static_cast<FILE*>(f));
    EXPECT_EQ(0u, f.GetFileName().length());
    EXPECT_EQ(3, f.Write("abc", 3));
    // Attaching another closes the one held (the fixture counts the descriptors).
    f.Attach(other);
    EXPECT_EQ(3, FileSize(Path("a")));
    EXPECT_EQ(other, static_cast<FILE*>(f));
}

TEST_F(FileTest, GetSizeOfAPipeFails) {
    int fds[2];
    ASSERT_EQ(0, pipe(fds));
    close(fds[1]);
    CFile f;
    f.Attach(fdopen(fds[0], "rb"));
    ASSERT_TRUE(f.IsOpened());
    EXPECT_EQ(-1, f.GetSize());
    EXPECT_FALSE(f.SetSize(0));
    EXPECT_FALSE(f.Seek(0, CFile::eSeekBegin));
}

TEST_F(FileTest, SetSizeDropsBufferedWritesBeyondTheCut) {
    CFile f;
    ASSERT_TRUE(f.Open(Path("a").c_str(), "wb"));
    // Still in the stream's buffer: the cut must not be undone when it is written out.
    EXPECT_EQ(10, f.Write("0123456789", 10));
    EXPECT_TRUE(f.SetSize(4));
    EXPECT_EQ(10, f.GetPos());
    EXPECT_TRUE(f.Close());
    EXPECT_EQ((std::vector<unsigned char>{'0', '1', '2', '3'}), ReadBytes(Path("a")));
}

TEST_F(FileTest, SetSizeOnAReadOnlyFileFailsAndNullBuffersAreRefused) {
    ASSERT_TRUE(WriteBytes(Path("a"), iotest::RandomBytes(64, 3)));
    CFile f;
    ASSERT_TRUE(f.Open(Path("a").c_str(), "rb"));
    ASSERT_TRUE(f.Seek(5, CFile::eSeekBegin));
    EXPECT_FALSE(f.SetSize(10));
    EXPECT_EQ(5, f.GetPos());
    EXPECT_EQ(64, FileSize(Path("a")));
    EXPECT_EQ(0, f.Write(nullptr, 4));
    EXPECT_EQ(0, f.Read(nullptr, 4));
}

TEST_F(FileTest, WriteToAFullDeviceReportsWhatWasWritten) {
    struct stat st;
    if (stat("/dev/full", &st) != 0) GTEST_SKIP() << "no /dev/full";
    CFile f;
    ASSERT_TRUE(f.Open("/dev/full", "wb"));
    setvbuf(f, nullptr, _IONBF, 0);
    std::vector<unsigned char> data(4096, 1);
    errno = 0;
    EXPECT_EQ(0, f.Write(data.data(), 4096));
    EXPECT_EQ(ENOSPC, errno);
}

TEST_F(FileTest, IsExistedTrueWhenPermissionIsDenied) {
    // A folder nobody but its owner may search: the check behind it fails with EACCES for
    // another user, and that counts as existing, whether or not the file is there.
    ASSERT_EQ(0, mkdir(Path("locked").c_str(), 0700));
    ASSERT_TRUE(WriteBytes(Path("locked/file"), {1}));
    ASSERT_EQ(0, chmod(m_dir.c_str(), 0755));
    std::string inside = Path("locked/file");
    std::string absent = Path("locked/absent");
    if (geteuid() != 0) {
        ASSERT_EQ(0, chmod(Path("locked").c_str(), 0));
        EXPECT_TRUE(CFile::IsExisted(inside.c_str()));
        EXPECT_TRUE(CFile::IsExisted(absent.c_str()));
        chmod(Path("locked").c_str(), 0700);
        return;
    }
    // Root passes every permission check: ask as an unprivileged user in a child.
    pid_t pid = fork();
    ASSERT_NE(-1, pid);
    if (pid == 0) {
        if (setgid(65534) != 0 || setuid(65534) != 0) _exit(10);
        if (access(inside.c_str(), F_OK) == 0 || errno != EACCES) _exit(11);
        if (!CFile::IsExisted(inside.c_str())) _exit(12);
        if (!CFile::IsExisted(absent.c_str())) _exit(13);
        if (!vn::io::CFile::IsExisted(vn::strutf16(absent.c_str()).c_str())) _exit(14);
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(pid, waitpid(pid, &status, 0));
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(0, WEXITSTATUS(status));
}

TEST_F(FileTest, MoveOfAMissingFileAndNullNamesFail) {
    EXPECT_FALSE(CFile::Move(Path("a").c_str(), Path("c").c_str()));
    EXPECT_FALSE(Exists(Path("c")));
    EXPECT_FALSE(CFile::Move(static_cast<const char*>(nullptr), "x"));
    EXPECT_FALSE(CFile::Move(static_cast<const char16_t*>(nullptr), u"x"));
    EXPECT_FALSE(CFile::Remove(static_cast<const char*>(nullptr)));
    EXPECT_FALSE(CFile::Remove(static_cast<const char16_t*>(nullptr)));
}
