// Huffman trees and block emission: code construction with the length limit,
// dummy codes, the symbol mapping tables and the choice of block type.
#include <gtest/gtest.h>

#include <numeric>

#include "decode_kit.h"
#include "encode_kit.h"
#include "stream.h"

namespace {

// A fresh tree state (ct_init keeps the two pointers it is given).
void fresh_trees() {
    static ush attr;
    static int method;
    attr = 0, method = DEFLATED;
    ct_init(&attr, &method);
    init_block();
}

// Builds the code for `desc` from `freqs` and returns the leaf lengths.
std::vector<int> lengths_for(tree_desc *desc, const std::vector<int> &freqs) {
    fresh_trees();
    for (int n = 0; n < desc->elems; n++) desc->dyn_tree[n].fc.freq = 0;
    for (size_t n = 0; n < freqs.size(); n++) desc->dyn_tree[n].fc.freq = static_cast<ush>(freqs[n]);
    build_tree(desc);
    std::vector<int> len;
    for (int n = 0; n < desc->elems; n++) len.push_back(desc->dyn_tree[n].dl.len);
    init_block();
    return len;
}

// Kraft sum scaled to 2^15: exactly 2^15 for a complete prefix code.
long kraft(const std::vector<int> &len) {
    long sum = 0;
    for (int l : len)
        if (l) sum += 1L << (15 - l);
    return sum;
}

std::vector<int> fibonacci(size_t n) {
    std::vector<int> f = {1, 1};
    while (f.size() < n) f.push_back(f[f.size() - 1] + f[f.size() - 2]);
    f.resize(n);
    return f;
}

}  // namespace

// Frequencies whose unrestricted Huffman code would be far deeper than the
// limit: the repaired code stays complete, within the limit, and gives the
// longer codes to the less frequent symbols.
TEST(EncodeTrees, LengthLimitRepairKeepsTheCodeComplete) {
    struct Case {
        const char *name;
        tree_desc *desc;
        std::vector<int> freqs;
        int limit;
    } cases[] = {
        {"literals, 22 Fibonacci weights", &l_desc, fibonacci(22), 15},
        {"literals, Fibonacci over spread symbols", &l_desc, {}, 15},
        {"distances, 22 Fibonacci weights", &d_desc, fibonacci(22), 15},
        {"code lengths, 12 Fibonacci weights", &bl_desc, fibonacci(12), 7},
        {"code lengths, 19 Fibonacci weights", &bl_desc, fibonacci(19), 7},
    };
    // The same weights on every 13th literal, end-of-block included.
    cases[1].freqs.assign(286, 0);
    auto f = fibonacci(22);
    for (size_t i = 0; i < f.size(); i++) cases[1].freqs[i * 13] = f[i];

    for (Case &c : cases) {
        std::vector<int> len = lengths_for(c.desc, c.freqs);
        EXPECT_EQ(kraft(len), 1L << 15) << c.name;
        EXPECT_EQ(*std::max_element(len.begin(), len.end()), c.limit) << c.name;
        for (size_t a = 0; a < c.freqs.size(); a++)
            for (size_t b = 0; b < c.freqs.size(); b++)
                if (c.freqs[a] && c.freqs[b] && c.freqs[a] < c.freqs[b]) {
                    EXPECT_GE(len[a], len[b]) << c.name;
                }
    }
}

// Exact code lengths of small distance trees. One with fewer than two used
// codes gets dummies: 1 when the only code is 0, 2 when it is 1, else 0;
// none used gives codes 0 and 1.
TEST(EncodeTrees, SmallTreesTieBreaksAndDummyCodes) {
    const auto ones = [](std::initializer_list<int> at) {
        std::vector<int> v(static_cast<size_t>(std::max(at)) + 1, 0);
        for (int i : at) v[static_cast<size_t>(i)] = 1;
        return v;
    };
    struct Case {
        const char *name;
        std::vector<int> freqs;
        std::vector<int> want;  // lengths of the first want.size() leaves; the code is complete
        int max_code;           // or -1: not checked
    } cases[] = {
        {"skewed", {1, 1, 2, 4}, {3, 3, 2, 1}, -1},
        {"all equal, power of two", {5, 5, 5, 5}, {2, 2, 2, 2}, -1},
        // Equal weights: the shallower subtree is taken first, so the three
        // leaves of weight 2 end up one level above the merged pair.
        {"equal weights prefer shallow nodes", {1, 1, 2, 2, 2}, {3, 3, 2, 2, 2}, -1},
        {"zero weights get no code", {0, 3, 0, 1, 1}, {0, 1, 0, 2, 2}, -1},
        {"none used", {}, ones({0, 1}), 1},
        {"only code 0", ones({0}), ones({0, 1}), 1},
        {"only code 1", ones({1}), ones({1, 2}), 2},
        {"only code 2", ones({2}), ones({0, 2}), 2},
        {"only code 17", ones({17}), ones({0, 17}), 17},
        {"only code 29", ones({29}), ones({0, 29}), 29},
    };
    for (const Case &c : cases) {
        std::vector<int> len = lengths_for(&d_desc, c.freqs);
        EXPECT_EQ(std::vector<int>(len.begin(), len.begin() + static_cast<long>(c.want.size())), c.want) << c.name;
        EXPECT_EQ(kraft(len), 1L << 15) << c.name;
        EXPECT_EQ(d_desc.max_code, c.max_code < 0 ? d_desc.max_code : c.max_code) << c.name;
    }
}

// The mapping tables agree with the length and distance codes of the DEFLATE
// format, written out here independently; 258 is code 285, never 284 + 31.
TEST(EncodeTrees, LengthAndDistanceMappings) {
    using testkit::kDistBase, testkit::kLenBase;
    fresh_trees();
    for (int len = 3; len <= 258; len++) {
        int want = 0;
        while (want < 28 && static_cast<int>(kLenBase[want + 1]) <= len) want++;
        ASSERT_EQ(length_code[len - 3], want) << "length " << len;
    }
    for (int dist = 1; dist <= 32768; dist++) {
        int want = 0;
        while (want < 29 && static_cast<int>(kDistBase[want + 1]) <= dist) want++;
        unsigned d = static_cast<unsigned>(dist - 1);
        int got = d < 256 ? dist_code[d] : dist_code[256 + (d >> 7)];
        ASSERT_EQ(got, want) << "distance " << dist;
    }
}

namespace {
// Replays the symbols of a one-block member into the block emitter and
// returns the byte estimates (dynamic, fixed) that decide its type.
// A stored block shows no symbols; it is replayed as the literals of `data`
// (the samples that come out stored have no matches).
std::pair<unsigned, unsigned> estimates(const testkit::Block &b, const std::string &data) {
    fresh_trees();
    std::vector<testkit::Symbol> syms = b.syms;
    if (b.type == 0)
        for (unsigned char c : data) syms.push_back(testkit::lit(c));
    for (const auto &s : syms) {
        if (s.lit >= 0) {
            ct_tally(0, static_cast<unsigned>(s.lit));
        } else {
            ct_tally(static_cast<unsigned>(s.dist), static_cast<unsigned>(s.len - 3));
        }
    }
    build_tree(&l_desc);
    build_tree(&d_desc);
    build_bl_tree();
    std::pair<unsigned, unsigned> r{(opt_len + 3 + 7) >> 3, (static_len + 3 + 7) >> 3};
    init_block();
    return r;
}
}  // namespace

// Stored when it is no larger than both coded forms; fixed codes when they
// cost the same number of bytes as dynamic ones (even if a few bits more).
TEST(EncodeTrees, BlockTypeChoice) {
    struct Case {
        const char *name;
        std::string data;
        int type;
    } cases[] = {
        {"tie in bytes goes to fixed codes", "ebeaafffcabfeebaedafbaebda", 1},
        {"short text", "hello, hello, hello world", 1},
        {"empty", "", 1},
        {"skewed text", testkit::text_bytes(3000, 5), 2},
        {"noise", testkit::random_bytes(500, 77), 0},
    };
    for (const Case &c : cases) {
        auto ms = testkit::parse_members(testkit::compress1(c.data));
        ASSERT_TRUE(ms[0].ok) << c.name << ": " << ms[0].error;
        ASSERT_EQ(ms[0].body.blocks.size(), 1u) << c.name;
        const testkit::Block &b = ms[0].body.blocks[0];
        EXPECT_EQ(b.type, c.type) << c.name;
        auto [dyn, fixed] = estimates(b, c.data);
        const unsigned best = std::min(dyn, fixed);
        const int rule = c.data.size() + 4 <= best ? 0 : fixed <= dyn ? 1 : 2;
        EXPECT_EQ(b.type, rule) << c.name << " dynamic " << dyn << " fixed " << fixed;
        // The tie case really is one: equal bytes although dynamic needs fewer bits.
        EXPECT_TRUE(&c != &cases[0] || dyn == fixed) << "dynamic " << dyn << " fixed " << fixed;
    }
}

// A block without matches still describes two distance codes of length 1.
TEST(EncodeTrees, LiteralOnlyDynamicBlockSendsTwoDistanceCodes) {
    // A de Bruijn sequence over 16 letters (each step appends the highest
    // letter that makes a new 3-byte string): every 3-byte string occurs
    // once, so there is nothing to match, but 16 letters code in 4 bits.
    std::string data = "aa";
    std::vector<bool> seen(4096);
    for (int j = 15; j >= 0; j--) {
        const size_t at = static_cast<size_t>((data[data.size() - 2] - 'a') * 256 + (data.back() - 'a') * 16 + j);
        if (!seen[at]) seen[at] = true, data += static_cast<char>('a' + j), j = 16;
    }
    ASSERT_EQ(data.size(), 4098u);
    auto ms = testkit::parse_members(testkit::compress1(data));
    ASSERT_TRUE(ms[0].ok) << ms[0].error;
    bool checked = false;
    for (const auto &b : ms[0].body.blocks) {
        bool any_match = false;
        for (const auto &s : b.syms) any_match |= s.lit < 0;
        if (b.type != 2 || any_match) continue;
        EXPECT_EQ(b.hdist, 2);
        EXPECT_EQ(b.dist_lengths, (std::vector<int>{1, 1}));
        checked = true;
    }
    EXPECT_TRUE(checked) << "no literal-only dynamic block in the sample";
}
