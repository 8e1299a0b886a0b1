// Test support for the io tests: a fixture with a fresh temporary folder per test (removed
// afterwards) that also checks no descriptor is left open, plus file helpers.
#pragma once

#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/stat.h>

#include <random>
#include <string>
#include <vector>

#include "support/external_peer.h"

namespace iotest {

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
    std::string text = vntest::ReadTextFile(path);
    return std::vector<unsigned char>(text.begin(), text.end());
}

inline bool Exists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

inline long long FileSize(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : -1;
}

class IoTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_fds = vntest::CountOpenDescriptors();
        m_dir = vntest::MakeTempDir("io");
        ASSERT_FALSE(m_dir.empty());
    }
    void TearDown() override {
        vntest::RemoveTree(m_dir);
        EXPECT_FALSE(Exists(m_dir));
        EXPECT_EQ(m_fds, vntest::CountOpenDescriptors()) << "a descriptor was left open";
    }
    std::string Path(const std::string& name) const { return m_dir + "/" + name; }

    std::string m_dir;
    int m_fds = 0;
};

}  // namespace iotest
