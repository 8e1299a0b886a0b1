// The crypto functions keep no state of their own (the padding draws on the process-wide
// generator, which tolerates concurrent callers): several threads using them at once get
// the same results as one thread. Meant for the thread-sanitizer build as much as for
// the values.
#include <gtest/gtest.h>

#include <string.h>

#include <thread>
#include <vector>

#include "crypto/vncrc32.h"
#include "crypto/vnmd5.h"
#include "crypto/vntea.h"

TEST(CryptoThreads, ConcurrentCallersAgreeWithOneThread) {
    std::vector<unsigned char> data(100000);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<unsigned char>(i * 31 + 7);
    const unsigned want_crc = CRC32(0, data.data(), data.size());
    unsigned char want_md5[16];
    Md5HashBuffer(want_md5, data.data(), data.size());

    const int kThreads = 4;
    std::vector<int> failures(kThreads, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            unsigned char key[16];
            for (int i = 0; i < 16; ++i)
                key[i] = static_cast<unsigned char>(t * 16 + i);
            for (int round = 0; round < 50; ++round) {
                // The first call of CRC32 also races on the one-time processor probe.
                if (CRC32(0, data.data(), data.size()) != want_crc) ++failures[t];
                unsigned char md5[16];
                Md5HashBuffer(md5, data.data(), data.size());
                if (memcmp(md5, want_md5, 16) != 0) ++failures[t];

                const int n = 1 + round * 13;
                unsigned char cipher[700], back[700];
                int len = 0;
                ku_symmetry_encrypt2(data.data() + round, n, key, cipher, &len);
                int cap = sizeof(back);
                if (!ku_symmetry_decrypt2(cipher, len, key, back, &cap) || cap != n ||
                    memcmp(back, data.data() + round, n) != 0)
                    ++failures[t];
            }
        });
    }
    for (auto& th : threads)
        th.join();
    for (int t = 0; t < kThreads; ++t)
        EXPECT_EQ(failures[t], 0) << "thread " << t;
}
