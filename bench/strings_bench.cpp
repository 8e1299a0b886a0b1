// Strings and conversion, side by side with the standard library (and iconv for the
// conversions): appending small pieces, formatting a short line, finding a 20-byte
// pattern in 1 MiB, and UTF-8 <-> UTF-16 over 1 MiB of mixed text.
#include <benchmark/benchmark.h>
#include <iconv.h>
#include <stdio.h>

#include <random>
#include <string>

#include "common/vnstream.h"

namespace {

const char* const kPieces[] = {"key", "=", "value;", " ", "0123456789", "ab", "\r\n", "x"};
const int kAppends = 4096;

void BM_Append_strutf8(benchmark::State& state) {
    for (auto _ : state) {
        vn::strutf8 s;
        for (int i = 0; i < kAppends; ++i)
            s.append(kPieces[i & 7]);
        benchmark::DoNotOptimize(s.c_str());
    }
    state.SetItemsProcessed(state.iterations() * kAppends);
}
BENCHMARK(BM_Append_strutf8);

void BM_Append_stdstring(benchmark::State& state) {
    for (auto _ : state) {
        std::string s;
        for (int i = 0; i < kAppends; ++i)
            s.append(kPieces[i & 7]);
        benchmark::DoNotOptimize(s.c_str());
    }
    state.SetItemsProcessed(state.iterations() * kAppends);
}
BENCHMARK(BM_Append_stdstring);

void BM_Format_strutf8(benchmark::State& state) {
    unsigned id = 0;
    for (auto _ : state) {
        vn::strutf8 s;
        s.format("Id[%u] connect %s:%d result %d", ++id, "127.0.0.1", 8080, 0);
        benchmark::DoNotOptimize(s.c_str());
    }
}
BENCHMARK(BM_Format_strutf8);

void BM_Format_stdstring(benchmark::State& state) {
    unsigned id = 0;
    for (auto _ : state) {
        char buf[1024];
        int n = snprintf(buf, sizeof(buf), "Id[%u] connect %s:%d result %d", ++id, "127.0.0.1",
                         8080, 0);
        std::string s(buf, (size_t)n);
        benchmark::DoNotOptimize(s.c_str());
    }
}
BENCHMARK(BM_Format_stdstring);

// 1 MiB of random lowercase letters with the 20-byte pattern near the end.
struct FindData {
    std::string text;
    std::string pattern;
    FindData() {
        std::mt19937 rng(42);
        text.resize(1 << 20);
        for (char& c : text)
            c = (char)('a' + rng() % 26);
        pattern = text.substr(text.size() - 100, 20);
    }
};
const FindData& Find() {
    static FindData d;
    return d;
}

void BM_Find_strutf8(benchmark::State& state) {
    const FindData& d = Find();
    vn::strutf8 s(d.text.data(), (unsigned)d.text.size());
    for (auto _ : state)
        benchmark::DoNotOptimize(s.find(d.pattern.c_str()));
    state.SetBytesProcessed(state.iterations() * (int64_t)d.text.size());
}
BENCHMARK(BM_Find_strutf8);

void BM_Find_stdstring(benchmark::State& state) {
    const FindData& d = Find();
    for (auto _ : state)
        benchmark::DoNotOptimize(d.text.find(d.pattern));
    state.SetBytesProcessed(state.iterations() * (int64_t)d.text.size());
}
BENCHMARK(BM_Find_stdstring);

void BM_Find_strutf8_ignorecase(benchmark::State& state) {
    const FindData& d = Find();
    vn::strutf8 s(d.text.data(), (unsigned)d.text.size());
    for (auto _ : state)
        benchmark::DoNotOptimize(s.find(d.pattern.c_str(), 0, true));
    state.SetBytesProcessed(state.iterations() * (int64_t)d.text.size());
}
BENCHMARK(BM_Find_strutf8_ignorecase);

// About 1 MiB of UTF-8 of the kind a chat client carries. Arg 0, "words": ASCII words,
// Chinese phrases (3 bytes a character) ending in an ideographic full stop, Latin words
// with accented letters (2 bytes) and emoji (4 bytes), picked 50/35/10/5 percent per
// word. Arg 1, "chars": the same classes picked per character (60/25/10/5), so that
// nearly every character changes its length class: the worst case for a decoder.
struct ConvData {
    std::u16string utf16;
    std::string utf8;
    explicit ConvData(bool perchar) {
        std::mt19937 rng(7);
        while (utf8.size() < (1u << 20)) {
            unsigned r = rng() % 100;
            std::u16string piece;
            if (perchar) {
                if (r < 60)
                    piece = (char16_t)(r % 10 == 0 ? u' ' : u'a' + rng() % 26);
                else if (r < 85)
                    piece = (char16_t)(0x4E00 + rng() % 0x5000);
                else if (r < 95)
                    piece = (char16_t)(0xC0 + rng() % 0x40);
                else
                    piece = std::u16string{(char16_t)0xD83D, (char16_t)(0xDE00 + rng() % 0x40)};
            } else if (r < 50) {
                for (unsigned k = 2 + rng() % 9; k > 0; --k)
                    piece += (char16_t)(u'a' + rng() % 26);
                piece += u' ';
            } else if (r < 85) {
                for (unsigned k = 2 + rng() % 9; k > 0; --k)
                    piece += (char16_t)(0x4E00 + rng() % 0x5000);
                piece += (char16_t)0x3002;
            } else if (r < 95) {
                for (unsigned k = 3 + rng() % 6; k > 0; --k)
                    piece += (char16_t)(rng() % 3 ? u'a' + rng() % 26 : 0xC0 + rng() % 0x40);
                piece += u' ';
            } else {
                piece = std::u16string{(char16_t)0xD83D, (char16_t)(0xDE00 + rng() % 0x40)};
            }
            utf16 += piece;
            vn::strutf8 b(piece.c_str(), (unsigned)piece.size());
            utf8.append(b.c_str(), b.length());
        }
    }
};
const ConvData& Conv(int64_t kind) {
    static ConvData words(false), chars(true);
    return kind ? chars : words;
}

#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
const char kUtf16[] = "UTF-16LE";
#else
const char kUtf16[] = "UTF-16BE";
#endif

void BM_Utf8ToUtf16_vn(benchmark::State& state) {
    const ConvData& d = Conv(state.range(0));
    for (auto _ : state) {
        vn::strutf16 out;
        vnutf82utf16(d.utf8.data(), (unsigned)d.utf8.size(), out);
        benchmark::DoNotOptimize(out.c_str());
    }
    state.SetBytesProcessed(state.iterations() * (int64_t)d.utf8.size());
}
BENCHMARK(BM_Utf8ToUtf16_vn)->Arg(0)->Arg(1);

void BM_Utf8ToUtf16_iconv(benchmark::State& state) {
    const ConvData& d = Conv(state.range(0));
    iconv_t cd = iconv_open(kUtf16, "UTF-8");
    for (auto _ : state) {
        std::u16string out(d.utf8.size(), u'\0');
        char* in = const_cast<char*>(d.utf8.data());
        size_t inleft = d.utf8.size();
        char* o = reinterpret_cast<char*>(&out[0]);
        size_t oleft = out.size() * 2;
        iconv(cd, nullptr, nullptr, nullptr, nullptr);
        iconv(cd, &in, &inleft, &o, &oleft);
        out.resize((out.size() * 2 - oleft) / 2);
        benchmark::DoNotOptimize(out.data());
    }
    iconv_close(cd);
    state.SetBytesProcessed(state.iterations() * (int64_t)d.utf8.size());
}
BENCHMARK(BM_Utf8ToUtf16_iconv)->Arg(0)->Arg(1);

void BM_Utf16ToUtf8_vn(benchmark::State& state) {
    const ConvData& d = Conv(state.range(0));
    for (auto _ : state) {
        vn::strutf8 out;
        vnutf162utf8(d.utf16.data(), (unsigned)d.utf16.size(), out);
        benchmark::DoNotOptimize(out.c_str());
    }
    state.SetBytesProcessed(state.iterations() * (int64_t)d.utf8.size());
}
BENCHMARK(BM_Utf16ToUtf8_vn)->Arg(0)->Arg(1);

void BM_Utf16ToUtf8_iconv(benchmark::State& state) {
    const ConvData& d = Conv(state.range(0));
    iconv_t cd = iconv_open("UTF-8", kUtf16);
    for (auto _ : state) {
        std::string out(d.utf16.size() * 3, '\0');
        char* in = reinterpret_cast<char*>(const_cast<char16_t*>(d.utf16.data()));
        size_t inleft = d.utf16.size() * 2;
        char* o = &out[0];
        size_t oleft = out.size();
        iconv(cd, nullptr, nullptr, nullptr, nullptr);
        iconv(cd, &in, &inleft, &o, &oleft);
        out.resize(out.size() - oleft);
        benchmark::DoNotOptimize(out.data());
    }
    iconv_close(cd);
    state.SetBytesProcessed(state.iterations() * (int64_t)d.utf8.size());
}
BENCHMARK(BM_Utf16ToUtf8_iconv)->Arg(0)->Arg(1);

}  // namespace

BENCHMARK_MAIN();
