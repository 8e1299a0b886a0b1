// vn::io::CDirectory: recursive creation with its log lines, UTF-8 and UTF-16 names, the
// mode of new folders, and opening a folder.
#include <gtest/gtest.h>
#include <errno.h>
#include <sys/stat.h>

#include <string>

#include "io/vndirectory.h"
#include "io/io_test_util.h"

namespace {

using vn::io::CDirectory;

class DirectoryTest : public iotest::IoTest {};

bool IsDir(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Sets the umask for one scope.
class Umask {
public:
    explicit Umask(mode_t mask) : m_old(umask(mask)) {}
    ~Umask() { umask(m_old); }

private:
    mode_t m_old;
};

TEST_F(DirectoryTest, CreateMakesTheMissingParentsThenRefusesAgain) {
    ASSERT_EQ(0, mkdir(Path("a").c_str(), 0755));
    std::string path = Path("a/b/c/");
    EXPECT_TRUE(CDirectory::Create(path.c_str()));
    EXPECT_TRUE(IsDir(Path("a/b")));
    EXPECT_TRUE(IsDir(Path("a/b/c")));

    errno = 0;
    EXPECT_FALSE(CDirectory::Create(path.c_str()));
    EXPECT_EQ(EEXIST, errno);
}

TEST_F(DirectoryTest, Utf8AndUtf16Names) {
    // 目录/каталог
    const char u8[] =
        "\xe7\x9b\xae\xe5\xbd\x95/\xd0\xba\xd0\xb0\xd1\x82\xd0\xb0\xd0\xbb\xd0\xbe\xd0\xb3";
    vn::strutf16 wide(m_dir.c_str());
    wide += u"/\u76ee\u5f55/\u043a\u0430\u0442\u0430\u043b\u043e\u0433";
    EXPECT_TRUE(CDirectory::Create(wide.c_str()));
    EXPECT_TRUE(IsDir(Path(u8)));
    EXPECT_TRUE(CDirectory::IsExisted(wide.c_str()));
    EXPECT_TRUE(CDirectory::IsExisted(Path(u8).c_str()));
    EXPECT_FALSE(CDirectory::Create(Path(u8).c_str()));

    vn::strutf16 deeper = wide;
    deeper += u"/\U0001F600";
    EXPECT_TRUE(CDirectory::Create(deeper.c_str()));
    EXPECT_TRUE(IsDir(Path(u8) + "/\xf0\x9f\x98\x80"));
    EXPECT_FALSE(CDirectory::IsExisted(u"/no/such/\u76ee\u5f55"));
}

TEST_F(DirectoryTest, OpenAFolder) {
    ASSERT_TRUE(CDirectory::Create(Path("f").c_str()));
    CDirectory d;
    EXPECT_FALSE(d.IsOpened());
    ASSERT_TRUE(d.Open(Path("f").c_str(), "r"));
    EXPECT_TRUE(d.IsOpened());
    EXPECT_EQ(vn::strutf16(Path("f").c_str()), vn::strutf16(d.GetFolderName()));
    EXPECT_FALSE(d.Open(Path("f").c_str(), "r"));
    EXPECT_TRUE(d.Close());
    EXPECT_FALSE(d.Close());

    errno = 0;
    EXPECT_FALSE(d.Open(Path("missing").c_str(), "r"));
    EXPECT_EQ(ENOENT, errno);
    EXPECT_FALSE(d.Open(nullptr, "r"));
    EXPECT_FALSE(d.Open(Path("f").c_str(), nullptr));

    // The destructor closes a folder left open (the fixture counts the descriptors).
    CDirectory e;
    EXPECT_TRUE(e.Open(Path("f").c_str(), "r"));
}

TEST_F(DirectoryTest, CreateFromNothingWithRepeatedSeparatorsGives0777LessTheUmask) {
    Umask mask(027);
    EXPECT_TRUE(CDirectory::Create(Path("x//y/z///").c_str()));
    EXPECT_TRUE(CDirectory::IsExisted(Path("x/y/z").c_str()));
    for (const char* p : {"x", "x/y", "x/y/z"}) {
        struct stat st;
        ASSERT_EQ(0, stat(Path(p).c_str(), &st)) << p;
        EXPECT_TRUE(S_ISDIR(st.st_mode)) << p;
        EXPECT_EQ(0750u, st.st_mode & 07777) << p;
    }
}

TEST_F(DirectoryTest, CreateRefusesNullEmptyAndExistingRootOrFile) {
    EXPECT_FALSE(CDirectory::Create(static_cast<const char*>(nullptr)));
    EXPECT_FALSE(CDirectory::Create(static_cast<const char16_t*>(nullptr)));
    EXPECT_FALSE(CDirectory::Create(""));
    EXPECT_FALSE(CDirectory::Create("/"));
    ASSERT_TRUE(iotest::WriteBytes(Path("file"), {1}));
    EXPECT_FALSE(CDirectory::Create(Path("file").c_str()));
}

TEST_F(DirectoryTest, ParentThatCannotBeMadeIsLoggedAtEveryLevel) {
    // "file" is a regular file: file/x cannot be made, so neither can file/x/y/z.
    ASSERT_TRUE(iotest::WriteBytes(Path("file"), {1}));
    errno = 0;
    EXPECT_FALSE(CDirectory::Create(Path("file/x/y/z").c_str()));
    EXPECT_EQ(ENOTDIR, errno);
    EXPECT_EQ((std::vector<unsigned char>{1}), iotest::ReadBytes(Path("file")));
}

}  // namespace
