// Hand-made DEFLATE streams for every result code and message of inflate,
// and for the window and bit-buffer edge cases that real encoders rarely hit.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "decode_kit.h"
#include "kivra.h"
#include "stream.h"

using namespace testkit;

namespace {

// Runs inflate alone over `stream` (plus trailing padding so that reading
// past the data is not what ends it); the exit status is inflate's result.
ChildResult inflate_only(const std::string &stream) {
    return run_child(stream + std::string(16, '\0'), [] { return inflate(); });
}

// Runs check once with each variant of inflate's fast loop: the one this
// processor gets, and the portable one (the same where it has no other).
template <class Check>
void each_fast_variant(Check check) {
    for (bool portable : {false, true}) {
        SCOPED_TRACE(portable ? "portable fast loop" : "this processor's fast loop");
        inflate_portable_only = portable;
        check();
    }
    inflate_portable_only = false;
}

// A writer holding the header of a last block of the given type.
BitWriter last_block(unsigned type) {
    BitWriter w;
    w.bits(1, 1);
    w.bits(type, 2);
    return w;
}

// Literal lengths giving codes to 'a', 'b' and end of block only.
std::vector<unsigned> abc_literals() {
    std::vector<unsigned> l(257, 0);
    l['a'] = 2;
    l['b'] = 2;
    l[256] = 1;
    return l;
}

// abc_literals without 'b' and with a 2-bit code for length 3 (257).
std::vector<unsigned> a_and_length3() {
    std::vector<unsigned> l = abc_literals();
    l['b'] = 0;
    l.resize(258);
    l[257] = 2;
    return l;
}

// A code-length code with the given lengths for its first symbols.
Code clen_code(std::vector<unsigned> lengths) {
    lengths.resize(19, 0);
    return Code(lengths);
}

// A last dynamic block that ends after HLIT, HDIST, HCLEN and the code-length code.
std::string dynamic_prefix(unsigned nl, unsigned nd, const Code &clen = standard_clen_code()) {
    BitWriter w = last_block(2);
    put_dynamic_prefix(w, nl, nd, clen);
    return w.finish();
}

// A last dynamic block that ends after its code lengths.
std::string dynamic_header(const std::vector<unsigned> &lit, const std::vector<unsigned> &dist) {
    BitWriter w = last_block(2);
    put_dynamic_header(w, lit, dist, standard_clen_code());
    return w.finish();
}

// A dynamic block whose lengths end in a repeat (16) carried from the last
// literal/length lengths into the distance lengths: 3 + extra lengths of 2
// for 257, distance 0 and distance 1; then 1 for distance 2. Codes: 'a' 1 bit,
// 256 and 257 2 bits; distances 0 and 1 2 bits, 2 1 bit. With extra 0 it
// decodes to "aaaa"; more repeats run past 258 + 3 lengths.
void repeat_into_distances(BitWriter &w, unsigned repeat_extra) {
    w.bits(1, 1);
    w.bits(2, 2);
    Code clen = standard_clen_code();
    put_dynamic_prefix(w, 258, 3, clen);
    for (unsigned i = 0; i < 256; i++) clen.put(w, i == 'a' ? 1 : 0);
    clen.put(w, 2);  // 256
    clen.put(w, 16);
    w.bits(repeat_extra, 2);
    clen.put(w, 1);  // distance 2
    std::vector<unsigned> lit(258, 0);
    lit['a'] = 1;
    lit[256] = lit[257] = 2;
    Code lc(lit), dc({2, 2, 1});
    lc.put(w, 'a');
    lc.put(w, 257);  // length 3
    dc.put(w, 0);    // distance 1
    lc.put(w, 256);
}

// A fixed block: 'q', then the given literal/length code (and distance code).
std::string fixed_with(unsigned lit_code, int dist_code = -1) {
    Tokens t;
    t.fixed_begin(true);
    t.literal('q');
    t.lit.put(t.w, lit_code);
    if (dist_code >= 0) t.dist.put(t.w, static_cast<unsigned>(dist_code));
    return t.w.finish();
}

struct ResultCase {
    const char *name;
    std::string (*stream)();
    int result;
    const char *err;
};

const ResultCase kResultCases[] = {
    {"stored complement mismatch",
     [] {
         BitWriter w = last_block(0);
         w.align();
         w.bits(5, 16);
         w.bits((~5u & 0xffff) ^ 0x100, 16);
         w.bytes("hello");
         return w.finish();
     },
     1, ""},
    {"block type 3", [] { return last_block(3).finish(); }, 2, ""},
    {"literal count 287", [] { return dynamic_prefix(287, 1); }, 1, ""},
    {"literal count 288", [] { return dynamic_prefix(288, 1); }, 1, ""},
    {"distance count 31", [] { return dynamic_prefix(257, 31); }, 1, ""},
    {"distance count 32", [] { return dynamic_prefix(257, 32); }, 1, ""},
    {"over-subscribed code-length code", [] { return dynamic_prefix(257, 1, clen_code({1, 1, 1})); }, 2, ""},
    {"incomplete code-length code", [] { return dynamic_prefix(257, 1, clen_code({2, 2, 2})); }, 1, ""},
    {"empty code-length code", [] { return dynamic_prefix(257, 1, clen_code({})); }, 1, ""},
    {"over-subscribed literal code",
     [] {
         std::vector<unsigned> lit = abc_literals();
         lit['c'] = 1;
         return dynamic_header(lit, {1});
     },
     2, ""},
    {"incomplete literal code",
     [] {
         std::vector<unsigned> lit = abc_literals();
         lit['b'] = 0;
         return dynamic_header(lit, {1});
     },
     1, " incomplete literal tree\n"},
    {"over-subscribed distance code", [] { return dynamic_header(abc_literals(), {1, 1, 1}); }, 2, ""},
    {"incomplete distance code", [] { return dynamic_header(abc_literals(), {2, 2, 2}); }, 1,
     " incomplete distance tree\n"},
    {"code-length repeat past the end",
     [] {
         BitWriter w = last_block(2);
         Code clen = standard_clen_code();
         put_dynamic_prefix(w, 257, 1, clen);
         for (int i = 0; i < 250; i++) clen.put(w, 0);
         clen.put(w, 18);  // 11 zeros where only 8 remain
         w.bits(0, 7);
         return w.finish();
     },
     1, ""},
    {"repeat carried into the distance lengths past their end",
     [] {
         BitWriter w;
         repeat_into_distances(w, 3);
         return w.finish();
     },
     1, ""},
    {"unused pattern of a single 1-bit code-length code",
     [] {
         // Only length 8 has a code (the bit 0); the bit 1 must not be read
         // as it (258 lengths of 8 would then over-subscribe the code).
         BitWriter w = last_block(2);
         put_dynamic_prefix(w, 257, 1, clen_code({0, 0, 0, 0, 0, 0, 0, 0, 1}));
         w.bits(1, 1);
         return w.finish();
     },
     1, ""},
    {"empty literal code", [] { return dynamic_header(std::vector<unsigned>(257, 0), {1}); }, 1, ""},
    {"length code with an empty distance code",
     [] {
         BitWriter w = last_block(2);
         put_dynamic_header(w, a_and_length3(), {0}, standard_clen_code());
         Code c(a_and_length3());
         c.put(w, 'a');
         c.put(w, 257);
         c.put(w, 256);
         return w.finish();
     },
     1, ""},
    {"free pattern of a single length-1 distance code",
     [] {
         BitWriter w = last_block(2);
         put_dynamic_header(w, a_and_length3(), {1}, standard_clen_code());
         Code c(a_and_length3());
         c.put(w, 'a');
         c.put(w, 257);
         w.bits(1, 1);  // distance code 0 is the bit 0; 1 is unused
         c.put(w, 256);
         return w.finish();
     },
     1, ""},
    {"free pattern of a single length-1 literal code",
     [] {
         BitWriter w = last_block(2);
         std::vector<unsigned> lit(257, 0);
         lit[256] = 1;
         put_dynamic_header(w, lit, {0}, standard_clen_code());
         w.bits(1, 1);
         return w.finish();
     },
     1, ""},
    {"fixed literal/length code 286", [] { return fixed_with(286); }, 1, ""},
    {"fixed literal/length code 287", [] { return fixed_with(287); }, 1, ""},
    {"fixed distance code 30", [] { return fixed_with(257, 30); }, 1, ""},
    {"fixed distance code 31", [] { return fixed_with(257, 31); }, 1, ""},
    {"error in a later block",
     [] {
         Tokens t;
         t.stored("first", false);
         t.w.bits(1, 1);
         t.w.bits(3, 2);
         return t.w.finish();
     },
     2, ""},
};

class InflateResult : public ::testing::TestWithParam<ResultCase> {};

TEST_P(InflateResult, CodeAndMessage) {
    const ResultCase &c = GetParam();
    each_fast_variant([&] {
        ChildResult r = inflate_only(c.stream());
        ASSERT_FALSE(r.signaled) << r.err;
        EXPECT_EQ(r.status, c.result);
        EXPECT_EQ(r.err, c.err);
    });
}

INSTANTIATE_TEST_SUITE_P(Cases, InflateResult, ::testing::ValuesIn(kResultCases), CaseName());

// Streams that must decode, with their expected output.
struct DecodeCase {
    const char *name;
    void (*build)(Tokens &);
};

const DecodeCase kDecodeCases[] = {
    {"empty stored block", [](Tokens &t) { t.stored("", true); }},
    {"empty fixed block",
     [](Tokens &t) {
         t.fixed_begin(true);
         t.end_block();
     }},
    {"distance 1 length 10",
     [](Tokens &t) {
         t.fixed_begin(true);
         t.literal('x');
         t.match(10, 1);
         t.end_block();
     }},
    {"distance 2 length 258",
     [](Tokens &t) {
         t.fixed_begin(true);
         t.literal('a');
         t.literal('b');
         t.match(258, 2);
         t.end_block();
     }},
    {"distance reaching before the first byte",
     [](Tokens &t) {
         t.fixed_begin(true);
         t.literal('z');
         t.match(5, 300);
         t.end_block();
     }},
    {"several block types",
     [](Tokens &t) {
         t.stored("stored ", false);
         t.fixed_begin(false);
         t.literal('f');
         t.match(7, 8);
         t.end_block();
         t.stored("", false);
         t.stored("end", true);
     }},
    {"stored data over two input fills",
     [](Tokens &t) {
         t.stored(random_bytes(70000, 1), false);
         t.fixed_begin(true);
         t.match(258, 65000 % 32768);
         t.end_block();
     }},
    {"distance near 32768 at window position near 0",
     [](Tokens &t) {
         t.stored(random_bytes(32768 + 5, 2), false);
         t.fixed_begin(true);
         t.match(258, 32766);  // source 7..264 lies after the destination 5..262
         t.match(100, 32768);  // source and destination coincide
         t.match(258, 32767);
         t.end_block();
     }},
    {"match crossing the window end",
     [](Tokens &t) {
         t.stored(random_bytes(32768 - 100, 3), false);
         t.fixed_begin(true);
         t.match(258, 1000);  // destination wraps to position 0
         t.match(258, 258);
         t.end_block();
     }},
    {"output of several windows",
     [](Tokens &t) {
         t.fixed_begin(true);
         t.literals("abc");
         for (int i = 0; i < 600; i++) t.match(258, 3 + static_cast<unsigned>(i % 7) * 3);
         t.end_block();
     }},
    {"code-length repeat at the start repeats zero",
     [](Tokens &t) {
         // 16 first (three times the previous length, which is 0), then
         // explicit lengths; 'a' (97) and end of block get 1-bit codes.
         t.w = last_block(2);
         Code clen = standard_clen_code();
         put_dynamic_prefix(t.w, 257, 1, clen);
         clen.put(t.w, 16);
         t.w.bits(0, 2);  // 3 repeats
         for (int i = 3; i < 97; i++) clen.put(t.w, 0);
         clen.put(t.w, 1);  // 'a'
         clen.put(t.w, 18);
         t.w.bits(138 - 11, 7);  // 98..235
         clen.put(t.w, 18);
         t.w.bits(20 - 11, 7);  // 236..255
         clen.put(t.w, 1);      // end of block
         clen.put(t.w, 1);      // the one distance code
         t.w.bits(0, 2);        // 'a', 'a' (code 0)
         t.w.bits(1, 1);        // end of block
         t.plain = "aa";
     }},
    {"code-length repeat carried into the distance lengths",
     [](Tokens &t) {
         repeat_into_distances(t.w, 0);
         t.plain = "aaaa";
     }},
    {"single distance code of length 1",
     [](Tokens &t) {
         t.dynamic_begin(true, a_and_length3(), {1});
         t.literal('a');
         t.match(3, 1);
         t.end_block();
     }},
    {"literals only with an empty distance code",
     [](Tokens &t) {
         t.dynamic_begin(true, abc_literals(), {0});
         t.literals("abba");
         t.end_block();
     }},
    {"long codes use sub-tables",
     [](Tokens &t) {
         // Lengths 1..15 and two of 15 make a complete code whose long codes
         // need second- and third-level tables for both alphabets.
         std::vector<unsigned> lit(286, 0), dist(30, 0);
         const std::string lits = "abcdefghijklm";
         for (unsigned i = 0; i < 13; i++) lit[static_cast<unsigned char>(lits[i])] = i + 1;
         lit[256] = 14;
         lit[285] = lit[257] = 15;
         for (unsigned i = 0; i < 16; i++) dist[i] = i < 15 ? i + 1 : 15;
         t.dynamic_begin(true, lit, dist);
         t.plain.assign(200, '\0');  // what the matches reach back to: dropped below
         t.literals(lits);
         t.match(258, 193);  // distance code 15 (15 bits)
         t.match(3, 129);    // distance code 14
         t.end_block();
         t.plain.erase(0, 200);
     }},
};

class InflateDecode : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(InflateDecode, MatchesReference) {
    Tokens t;
    GetParam().build(t);
    const std::string input = member(t.w.finish(), t.plain);
    each_fast_variant([&] {
        ChildResult r = decode_member(input);
        ASSERT_FALSE(r.signaled) << r.err;
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err, "");
        EXPECT_TRUE(r.out == t.plain) << "output differs; sizes " << r.out.size() << " / " << t.plain.size();
    });
}

INSTANTIATE_TEST_SUITE_P(Cases, InflateDecode, ::testing::ValuesIn(kDecodeCases), CaseName());

}  // namespace

namespace {

// The last symbol may be decoded with bits read ahead: whole bytes of them
// belong to the trailer and must be handed back. Every end alignment of the
// final block is tried, for a dynamic block (9-bit first-level lookups) and a
// fixed one (7-bit lookups).
TEST(InflateEnd, TrailerReadAfterEveryEndAlignment) {
    // A complete code with lengths 1 to 9, so that lookups take 9 bits while
    // 'a' and end of block take 1 and 2.
    std::vector<unsigned> lit(257, 0);
    lit['a'] = 1;
    lit[256] = 2;
    for (unsigned i = 0; i < 6; i++) lit['b' + i] = 3 + i;
    lit['h'] = lit['i'] = 9;
    const Code lc(lit);
    for (unsigned count = 0; count < 16; count++) {
        const std::string plain(count, 'a');
        BitWriter dyn;
        dyn.bits(1, 1);
        dyn.bits(2, 2);
        put_dynamic_header(dyn, lit, {0}, standard_clen_code());
        for (unsigned i = 0; i < count; i++) lc.put(dyn, 'a');
        lc.put(dyn, 256);
        ChildResult r = decode_member(member(dyn.finish(), plain) + "garbage after the trailer");
        EXPECT_EQ(r.status, 0) << "dynamic, " << count << ": " << r.err;
        EXPECT_EQ(r.out, plain);

        BitWriter fixed;
        put_fixed_literals(fixed, plain, true);
        r = decode_member(member(fixed.finish(), plain));
        EXPECT_EQ(r.status, 0) << "fixed, " << count << ": " << r.err;
        EXPECT_EQ(r.out, plain);
    }
}

}  // namespace

namespace {

// ---- the fast loop's boundaries ----------------------------------------------------
// The decoder's fast loop reads the input a word ahead and copies matches in
// wide pieces; it hands over to the byte-at-a-time decoder near the end of
// each input buffer fill (32768 bytes) and of each 32 KiB window, and gives
// back the bytes it read ahead whenever it stops. Each stream below is long
// enough to cross several fills and windows and is decoded behind gzip
// headers of several lengths, which moves the fill boundaries across its
// codes; two of them are also decoded back to back as two members, so that
// the first one's end and trailer lie inside the read-ahead.

// Distances around the copy strategies' limits (1, below and at 16, the
// window size and just below it), mixed with random ones.
unsigned pick_distance(std::mt19937 &rng) {
    static const unsigned kEdges[] = {1, 2, 3, 7, 15, 16, 17, 31, 258, 32752, 32753, 32767, 32768};
    return rng() % 2 ? kEdges[rng() % std::size(kEdges)] : 1 + rng() % 32768;
}

// Random literals and matches, all reaching back into the data itself; long
// matches now and then, so that a match often runs over the window's end.
void random_tokens(Tokens &t, std::mt19937 &rng, size_t plain_size) {
    while (t.plain.size() < plain_size) {
        if (t.plain.empty() || rng() % 3 != 0) {
            t.literal(static_cast<char>(rng()));
        } else {
            const unsigned d = pick_distance(rng);
            t.match(rng() % 16 == 0 ? 200 + rng() % 59 : 3 + rng() % 30,
                    static_cast<unsigned>(std::min<size_t>(d, t.plain.size())));
        }
    }
}

struct FastCase {
    const char *name;
    void (*build)(Tokens &, std::mt19937 &);
};

const FastCase kFastCases[] = {
    {"fixed codes",
     [](Tokens &t, std::mt19937 &rng) {
         t.fixed_begin(true);
         random_tokens(t, rng, 480000);
         t.end_block();
     }},
    {"dynamic codes up to 15 bits",
     [](Tokens &t, std::mt19937 &rng) {
         for (int block = 0; block < 3; block++) {
             t.dynamic_begin(block == 2, random_complete_code(rng, 286, 286), random_complete_code(rng, 30, 30));
             random_tokens(t, rng, 150000 * (block + 1));
             t.end_block();
         }
     }},
    {"stored blocks between coded ones",
     [](Tokens &t, std::mt19937 &rng) {
         for (int block = 0; block < 4; block++) {
             t.stored(testkit::random_bytes(10000 + rng() % 30000, block), false);
             t.fixed_begin(block == 3);
             random_tokens(t, rng, t.plain.size() + 30000);
             t.end_block();
         }
     }},
};

class InflateFastLoop : public ::testing::TestWithParam<FastCase> {};

TEST_P(InflateFastLoop, EveryFillBoundary) {
    std::mt19937 rng(20261208);
    Tokens t;
    GetParam().build(t, rng);
    const std::string deflate = t.w.finish();
    ASSERT_GT(deflate.size(), 2u * INBUFSIZ);
    each_fast_variant([&] {
        for (unsigned shift = 0; shift < 12; shift++) {
            Header h;
            h.flags = 0x08;
            h.name = std::string(shift, 'n');
            ChildResult r = decode_member(member(deflate, t.plain, h));
            ASSERT_FALSE(r.signaled) << r.err;
            EXPECT_EQ(r.status, 0) << "header +" << shift << ": " << r.err;
            EXPECT_TRUE(r.out == t.plain) << "header +" << shift << ": output differs";
        }
    });
}

// The first member's last codes and trailer are read ahead by the fast loop;
// the second member's header must still be found right after that trailer.
// The first member ends with each of eight literal counts, which moves its
// end across the bits of a byte.
TEST_P(InflateFastLoop, TwoMembersBackToBack) {
    std::mt19937 rng(7);
    Tokens second;
    GetParam().build(second, rng);
    const std::string second_gz = second.member();
    for (unsigned tail = 0; tail < 8; tail++) {
        Tokens first;
        first.fixed_begin(true);
        random_tokens(first, rng, 50000 + rng() % 1000);
        first.literals(std::string(tail, 'z'));
        first.end_block();
        const std::string input = first.member() + second_gz;
        ChildResult r = run_child(input, [] {
            for (int i = 0; i < 2; i++) {
                bytes_out = 0;  // each trailer holds its own member's length
                if (get_method(ifd) != DEFLATED || unzip(ifd, ofd) != 0) return 1;
            }
            return 0;
        });
        ASSERT_FALSE(r.signaled) << r.err;
        EXPECT_EQ(r.status, 0) << "tail " << tail << ": " << r.err;
        EXPECT_TRUE(r.out == first.plain + second.plain) << "tail " << tail << ": output differs";
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, InflateFastLoop, ::testing::ValuesIn(kFastCases), CaseName());

}  // namespace
