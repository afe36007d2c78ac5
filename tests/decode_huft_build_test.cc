// The decoding-table builder: every code of a complete code decodes to its
// symbol with its own length, for the first-level bit counts the decoder
// uses, and the result codes for empty, incomplete, over-subscribed and
// out-of-range inputs, with the codes that must decode as invalid.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <random>
#include <vector>

#include "decode_kit.h"
#include "stream.h"

namespace {

constexpr std::array<ush, 31> kBases = {};  // bases and extra bits of non-simple symbols: all 0

// What the decoder finds for `code` (first bit in bit 0): whether it may
// occur, its value (literal, base, 256 for end of block) and code length.
struct Found {
    bool valid;
    unsigned value;
    unsigned used;
};
// An entry's word is its high half; its low half (the step) repeats the
// word's total and holds the first-level bits above it.
Found walk(const huft *t, unsigned bits, unsigned code) {
    const auto special = [](uint32_t p) { return (p & 0x80008000u) == 0x8000u; };
    const auto word = [&](unsigned i) {
        EXPECT_EQ(t[i] & 0xffffffffu, (t[i] >> 32 & 63) | bits << 8) << "step of entry " << i;
        return static_cast<uint32_t>(t[i] >> 32);
    };
    uint32_t p = word(code & ((1u << bits) - 1));
    if (special(p) && (p >> 16) > 1) p = word((p >> 16) + ((code >> bits) & ((1u << (p & 63)) - 1)));
    if (p >> 31) return {true, (p >> 15) & 0xff, ((p >> 6) & 15) + 1};
    if (special(p)) return {(p >> 16) == 0, 256, (p >> 6) & 31};
    return {true, p >> 16, (p >> 6) & 31};
}

// Checks every symbol's canonical code, with random bits after it.
void expect_decodes(const std::vector<unsigned> &b, int wished_bits, unsigned s) {
    huft *t = nullptr;
    int m = wished_bits;
    ASSERT_EQ(huft_build(b.data(), static_cast<unsigned>(b.size()), s, kBases.data(), kBases.data(), &t, &m), 0);
    ASSERT_NE(t, nullptr);
    std::array<unsigned, 17> count{}, next{};
    for (unsigned len : b) count[len]++;
    count[0] = 0;
    for (unsigned len = 1, code = 0; len <= 16; len++) next[len] = code = (code + count[len - 1]) << 1;
    for (unsigned sym = 0; sym < b.size(); sym++) {
        const unsigned len = b[sym];
        if (len == 0) continue;
        const unsigned code = next[len]++;
        unsigned reversed = 0;
        for (unsigned k = 0; k < len; k++) reversed |= ((code >> k) & 1u) << (len - 1 - k);
        for (unsigned tail : {0u, 0xffffu, 0x5a5au}) {
            const Found f = walk(t, static_cast<unsigned>(m), reversed | (tail << len));
            ASSERT_TRUE(f.valid) << "symbol " << sym << " length " << len;
            EXPECT_EQ(f.used, len) << "symbol " << sym;
            if (sym < s) {
                EXPECT_EQ(f.value, sym);
            }
        }
    }
    huft_free(t);
}

TEST(HuftBuild, CompleteCodesDecodeEverySymbol) {
    struct Case {
        const char *what;
        unsigned n;
        int bits;
        unsigned s;
    };
    const Case cases[] = {
        {"code-length code", 19, 7, 19},
        {"distance code", 30, 6, 0},
        {"literal/length code", 286, 9, 257},
    };
    std::vector<unsigned> fixed(288);
    for (unsigned i = 0; i < 288; i++) fixed[i] = i < 144 ? 8 : i < 256 ? 9 : i < 280 ? 7 : 8;
    expect_decodes(fixed, 7, 257);
    std::mt19937 rng(20261208);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        for (int round = 0; round < 400; round++) {
            const unsigned leaves = 2 + static_cast<unsigned>(rng() % (c.n - 1));
            expect_decodes(testkit::random_complete_code(rng, c.n, leaves), c.bits, c.s);
            if (HasFatalFailure() || HasFailure()) return;
        }
    }
}

TEST(HuftBuild, ResultCodes) {
    struct Case {
        const char *what;
        std::vector<unsigned> lengths;
        int result;
        bool has_table;
        int bits_out;
        int invalid_pattern;  // a code (first bit in bit 0) that must decode as invalid, or -1
    };
    const Case cases[] = {
        {"every length 0", std::vector<unsigned>(30, 0), 0, false, 0, -1},
        {"single code of length 1", {0, 1, 0}, 0, true, 1, 1},
        {"complete", {1, 2, 2}, 0, true, 2, -1},
        {"incomplete", {1, 2, 0}, 1, true, 2, 3},
        {"over-subscribed", {1, 1, 1}, 2, false, -1, -1},
        {"length above 16", {1, 17}, 2, false, -1, -1},
        {"more than 288 symbols", std::vector<unsigned>(289, 9), 2, false, -1, -1},
    };
    for (const Case &c : cases) {
        huft *t = reinterpret_cast<huft *>(&t);  // must be overwritten
        int m = 7;
        const int r = huft_build(c.lengths.data(), static_cast<unsigned>(c.lengths.size()), 0, kBases.data(),
                                 kBases.data(), &t, &m);
        EXPECT_EQ(r, c.result) << c.what;
        EXPECT_EQ(t != nullptr, c.has_table) << c.what;
        if (c.bits_out >= 0) {
            EXPECT_EQ(m, c.bits_out) << c.what;
        }
        if (c.invalid_pattern >= 0) {
            EXPECT_FALSE(walk(t, static_cast<unsigned>(m), static_cast<unsigned>(c.invalid_pattern)).valid) << c.what;
        }
        if (r <= 1 && t != reinterpret_cast<huft *>(&t)) huft_free(t);
    }
}

}  // namespace
