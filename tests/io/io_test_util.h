// Test support for the io tests: a fixture with a fresh temporary folder per test (removed
// afterwards) that also checks no descriptor is left open, plus file and log helpers.
#pragma once

#include <gtest/gtest.h>
#include <dirent.h>
#include <errno.h>
#include <ftw.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <random>
#include <string>
#include <vector>

#include "support/log_capture.h"

namespace iotest {

inline int CountOpenDescriptors() {
    int n = 0;
    DIR* d = opendir("/proc/self/fd");
    if (!d) return -1;
    while (readdir(d) != nullptr)
        ++n;
    closedir(d);
    return n;
}

inline int RemoveEntry(const char* path, const struct stat*, int flag, struct FTW*) {
    // Tests may leave folders without permissions; open them up again first.
    if (flag == FTW_DP) chmod(path, 0700);
    remove(path);
    return 0;
}

inline void RemoveTree(const std::string& root) {
    chmod(root.c_str(), 0700);
    nftw(root.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
}

inline std::vector<unsigned char> RandomBytes(size_t n, unsigned seed) {
    std::vector<unsigned char> v(n);
    std::mt19937 rng(seed);
    for (auto& b : v)
        b = static_cast<unsigned char>(rng());
    return v;
}

inline bool WriteBytes(const std::string& path, const std::vector<unsigned char>& data) {
    FILE* f = fopen(path.c_str(), "wb");
    if (!f) return false;
    bool ok = data.empty() || fwrite(data.data(), 1, data.size(), f) == data.size();
    return fclose(f) == 0 && ok;
}

inline std::vector<unsigned char> ReadBytes(const std::string& path) {
    std::vector<unsigned char> out;
    FILE* f = fopen(path.c_str(), "rb");
    if (!f) return out;
    unsigned char buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), f)) > 0)
        out.insert(out.end(), buf, buf + n);
    fclose(f);
    return out;
}

inline bool Exists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

inline long long FileSize(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : -1;
}

// Lines logged under "vnfile" whose message is exactly msg at the given level.
inline size_t CountLog(int level, const std::string& msg) {
    size_t n = 0;
    for (const vntest::LogLine& l : vntest::LogLines()) {
        if (l.tag == "vnfile" && l.level == level && l.message() == msg) ++n;
    }
    return n;
}

// Lines logged under "vnfile" at any level.
inline size_t CountFileLogs() {
    size_t n = 0;
    for (const vntest::LogLine& l : vntest::LogLines()) {
        if (l.tag == "vnfile") ++n;
    }
    return n;
}

class IoTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_fds = CountOpenDescriptors();
        const char* tmp = getenv("TMPDIR");
        std::string tmpl = std::string(tmp && tmp[0] ? tmp : "/tmp") + "/vnio_test_XXXXXX";
        std::vector<char> buf(tmpl.begin(), tmpl.end());
        buf.push_back('\0');
        ASSERT_NE(nullptr, mkdtemp(buf.data())) << "mkdtemp: " << errno;
        m_dir = buf.data();
        vntest::LogClear();
    }
    void TearDown() override {
        if (!m_dir.empty()) RemoveTree(m_dir);
        EXPECT_FALSE(Exists(m_dir));
        EXPECT_EQ(m_fds, CountOpenDescriptors()) << "a descriptor was left open";
    }
    std::string Path(const std::string& name) const { return m_dir + "/" + name; }

    std::string m_dir;
    int m_fds = 0;
};

}  // namespace iotest
