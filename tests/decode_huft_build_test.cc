// The decoding-table builder: every code of a complete code decodes to its
// symbol with its own length, for the first-level bit counts the decoder
// uses, and the result codes for empty, incomplete, over-subscribed and
// out-of-range inputs.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <random>
#include <vector>

#include "decode_kit.h"
#include "stream.h"

namespace {

constexpr unsigned kInvalid = 99;
constexpr std::array<ush, 31> kBases = {};  // kinds and bases of non-simple symbols: all 0

// Follows `code` (first bit in bit 0) through the tables like the decoder;
// returns null for an invalid code and the bits consumed in `used`.
const huft *walk(const huft *t, unsigned bits, unsigned code, unsigned &used) {
    used = 0;
    t += code & ((1u << bits) - 1);
    while (t->e > 16) {
        if (t->e == kInvalid) return nullptr;
        used += t->b;
        const unsigned e = t->e - 16u;
        t = t->v.t + ((code >> used) & ((1u << e) - 1));
    }
    used += t->b;
    return t;
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
            unsigned used = 0;
            const huft *e = walk(t, static_cast<unsigned>(m), reversed | (tail << len), used);
            ASSERT_NE(e, nullptr) << "symbol " << sym << " length " << len;
            EXPECT_EQ(used, len) << "symbol " << sym;
            if (sym < s) {
                EXPECT_EQ(e->v.n, sym);
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

TEST(HuftBuild, FixedLiteralCode) {
    expect_decodes(testkit::fixed_literal_lengths(), 7, 257);
}

TEST(HuftBuild, ResultCodes) {
    struct Case {
        const char *what;
        std::vector<unsigned> lengths;
        int result;
        bool has_table;
        int bits_out;
    };
    const Case cases[] = {
        {"every length 0", std::vector<unsigned>(30, 0), 0, false, 0},
        {"single code of length 1", {0, 1, 0}, 0, true, 1},
        {"complete", {1, 2, 2}, 0, true, 2},
        {"incomplete", {1, 2, 0}, 1, true, 2},
        {"over-subscribed", {1, 1, 1}, 2, false, -1},
        {"length above 16", {1, 17}, 2, false, -1},
        {"more than 288 symbols", std::vector<unsigned>(289, 9), 2, false, -1},
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
        if (r <= 1 && t != reinterpret_cast<huft *>(&t)) huft_free(t);
    }
}

TEST(HuftBuild, UnusedCodesDecodeAsInvalid) {
    // One code of length 1: its sibling pattern is invalid. Incomplete
    // {1, 2}: pattern 11 is invalid.
    const std::vector<unsigned> single = {0, 1}, incomplete = {1, 2};
    struct Case {
        const std::vector<unsigned> *lengths;
        unsigned invalid_pattern;
    };
    for (const Case &c : {Case{&single, 1}, Case{&incomplete, 3}}) {
        huft *t = nullptr;
        int m = 7;
        huft_build(c.lengths->data(), static_cast<unsigned>(c.lengths->size()), 0, kBases.data(), kBases.data(), &t,
                   &m);
        ASSERT_NE(t, nullptr);
        unsigned used = 0;
        EXPECT_EQ(walk(t, static_cast<unsigned>(m), c.invalid_pattern, used), nullptr);
        huft_free(t);
    }
}

}  // namespace
