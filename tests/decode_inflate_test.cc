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

// A last dynamic block up to the end of HLIT, HDIST, HCLEN and the code-length code.
void prefix(Tokens &t, unsigned nl, unsigned nd, const Code &clen = standard_clen_code()) {
    t.w = last_block(2);
    put_dynamic_prefix(t.w, nl, nd, clen);
}

// A last dynamic block up to the end of its code lengths.
void header(Tokens &t, const std::vector<unsigned> &lit, const std::vector<unsigned> &dist) {
    t.w = last_block(2);
    put_dynamic_header(t.w, lit, dist, standard_clen_code());
}

// A last dynamic block with a_and_length3 and the distance lengths `dist`:
// 'a', length 3, then the 1-bit `dist_bit` unless negative, then end of block.
void a_then_length3(Tokens &t, const std::vector<unsigned> &dist, int dist_bit) {
    const Code c(a_and_length3());
    header(t, c.lengths, dist);
    c.put(t.w, 'a');
    c.put(t.w, 257);
    if (dist_bit >= 0) t.w.bits(static_cast<unsigned>(dist_bit), 1);
    c.put(t.w, 256);
}

// A last fixed block: 'q' (when `q`), the literal/length code `lit`, then the
// distance code `dist` unless negative.
void fixed_with(Tokens &t, unsigned lit, int dist = -1, bool q = true) {
    t.fixed_begin(true);
    if (q) t.literal('q');
    t.lit.put(t.w, lit);
    if (dist >= 0) t.dist.put(t.w, static_cast<unsigned>(dist));
}

// Literal/length and distance lengths form one sequence: a repeat after the
// last literal/length lengths carries on into the distance lengths (3 +
// repeat_extra of them; more than 2 run past the end). Codes: 'a' 1 bit, 256
// and 257 2 bits; distances 0 and 1 2 bits, 2 1 bit. Decodes to "aaaa".
void repeat_into_distances(Tokens &t, unsigned repeat_extra) {
    Code clen = standard_clen_code();
    prefix(t, 258, 3, clen);
    for (unsigned i = 0; i < 256; i++) clen.put(t.w, i == 'a' ? 1 : 0);
    clen.put(t.w, 2);   // 256
    clen.put(t.w, 16);  // 257, distance 0, distance 1 (3 + extra)
    t.w.bits(repeat_extra, 2);
    clen.put(t.w, 1);   // distance 2
    std::vector<unsigned> lit(258, 0);
    lit['a'] = 1;
    lit[256] = lit[257] = 2;
    Code lc(lit), dc({2, 2, 1});
    lc.put(t.w, 'a');
    lc.put(t.w, 257);  // length 3
    dc.put(t.w, 0);    // distance 1
    lc.put(t.w, 256);
}

struct ResultCase {
    const char *name;
    void (*write)(Tokens &t);  // the stream, into t.w
    int result;
    const char *err;
};

const ResultCase kResultCases[] = {
    {"code-length repeat from literal into distance lengths past the end",
     [](Tokens &t) { repeat_into_distances(t, 3); }, 1, ""},
    {"stored complement mismatch",
     [](Tokens &t) {
         t.w = last_block(0);
         t.w.align();
         t.w.bits(5, 16);
         t.w.bits((~5u & 0xffff) ^ 0x100, 16);
         t.w.bytes("hello");
     },
     1, ""},
    {"block type 3", [](Tokens &t) { t.w = last_block(3); }, 2, ""},
    {"literal count 287", [](Tokens &t) { prefix(t, 287, 1); }, 1, ""},
    {"literal count 288", [](Tokens &t) { prefix(t, 288, 1); }, 1, ""},
    {"distance count 31", [](Tokens &t) { prefix(t, 257, 31); }, 1, ""},
    {"distance count 32", [](Tokens &t) { prefix(t, 257, 32); }, 1, ""},
    {"over-subscribed code-length code", [](Tokens &t) { prefix(t, 257, 1, clen_code({1, 1, 1})); }, 2, ""},
    {"incomplete code-length code", [](Tokens &t) { prefix(t, 257, 1, clen_code({2, 2, 2})); }, 1, ""},
    {"empty code-length code", [](Tokens &t) { prefix(t, 257, 1, clen_code({})); }, 1, ""},
    {"over-subscribed literal code",
     [](Tokens &t) {
         std::vector<unsigned> lit = abc_literals();
         lit['c'] = 1;
         header(t, lit, {1});
     },
     2, ""},
    {"incomplete literal code",
     [](Tokens &t) {
         std::vector<unsigned> lit = abc_literals();
         lit['b'] = 0;
         header(t, lit, {1});
     },
     1, " incomplete literal tree\n"},
    {"over-subscribed distance code", [](Tokens &t) { header(t, abc_literals(), {1, 1, 1}); }, 2, ""},
    {"incomplete distance code", [](Tokens &t) { header(t, abc_literals(), {2, 2, 2}); }, 1,
     " incomplete distance tree\n"},
    {"code-length repeat past the end",
     [](Tokens &t) {
         Code clen = standard_clen_code();
         prefix(t, 257, 1, clen);
         for (int i = 0; i < 250; i++) clen.put(t.w, 0);
         clen.put(t.w, 18);  // 11 zeros where only 8 remain
         t.w.bits(0, 7);
     },
     1, ""},
    // Only length 8 has a code (the bit 0); the bit 1 must not be read as it
    // (258 lengths of 8 would then over-subscribe the code).
    {"unused pattern of a single 1-bit code-length code",
     [](Tokens &t) {
         prefix(t, 257, 1, clen_code({0, 0, 0, 0, 0, 0, 0, 0, 1}));
         t.w.bits(1, 1);
     },
     1, ""},
    {"empty literal code", [](Tokens &t) { header(t, std::vector<unsigned>(257, 0), {1}); }, 1, ""},
    {"length code with an empty distance code", [](Tokens &t) { a_then_length3(t, {0}, -1); }, 1, ""},
    // The distance code 0 is the bit 0; the bit 1 is unused.
    {"free pattern of a single length-1 distance code", [](Tokens &t) { a_then_length3(t, {1}, 1); }, 1, ""},
    {"free pattern of a single length-1 literal code",
     [](Tokens &t) {
         std::vector<unsigned> lit(257, 0);
         lit[256] = 1;
         header(t, lit, {0});
         t.w.bits(1, 1);
     },
     1, ""},
    {"fixed literal/length code 286", [](Tokens &t) { fixed_with(t, 286, -1, false); }, 1, ""},
    {"fixed literal/length code 287", [](Tokens &t) { fixed_with(t, 287); }, 1, ""},
    {"fixed distance code 30", [](Tokens &t) { fixed_with(t, 257, 30); }, 1, ""},
    {"fixed distance code 31", [](Tokens &t) { fixed_with(t, 257, 31); }, 1, ""},
    {"error in a later block", [](Tokens &t) { t.stored("first", false); t.w.bits(1, 1); t.w.bits(3, 2); }, 2, ""},
};

class InflateResult : public ::testing::TestWithParam<ResultCase> {};

TEST_P(InflateResult, CodeAndMessage) {
    const ResultCase &c = GetParam();
    each_fast_variant([&] {
        Tokens t;
        c.write(t);
        ChildResult r = inflate_only(t.w.finish());
        ASSERT_FALSE(r.signaled) << r.err;
        EXPECT_EQ(r.status, c.result);
        EXPECT_EQ(r.err, c.err);
    });
}

INSTANTIATE_TEST_SUITE_P(Cases, InflateResult, ::testing::ValuesIn(kResultCases),
                         CaseName());

// Streams that must decode, with their expected output.
struct DecodeCase {
    const char *name;
    void (*build)(Tokens &);
};

const DecodeCase kDecodeCases[] = {
    {"code-length repeat from literal into distance lengths",
     [](Tokens &t) {
         repeat_into_distances(t, 0);
         t.plain = "aaaa";
     }},
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
    // The decoder's window is a 64 KiB ring: output wraps to position 0.
    {"distance near 32768 at ring position near 0",
     [](Tokens &t) {
         t.stored(random_bytes(65536 + 5, 2), false);
         t.fixed_begin(true);
         t.match(258, 32766);
         t.match(100, 32768);
         t.match(258, 32767);
         t.end_block();
     }},
    {"source wrapping from the ring's top onto the destination",
     [](Tokens &t) {
         t.stored(random_bytes(65536 + 5, 4), false);
         t.fixed_begin(true);
         t.match(258, 20);  // source 65521.. runs on at 0, then over the destination 5..
         t.match(258, 270);
         t.end_block();
     }},
    {"match crossing the ring end",
     [](Tokens &t) {
         t.stored(random_bytes(65536 - 100, 3), false);
         t.fixed_begin(true);
         t.match(258, 1000);  // destination wraps to position 0
         t.match(258, 258);
         t.end_block();
     }},
    {"output of several windows",
     [](Tokens &t) {
         t.fixed_begin(true);
         t.literal('a');
         t.literal('b');
         t.literal('c');
         for (int i = 0; i < 600; i++) t.match(258, 3 + static_cast<unsigned>(i % 7) * 3);
         t.end_block();
     }},
    {"code-length repeat at the start repeats zero",
     [](Tokens &t) {
         // 16 first (three times the previous length, which is 0), then
         // explicit lengths; 'a' (97) and end of block get 1-bit codes.
         Code clen = standard_clen_code();
         prefix(t, 257, 1, clen);
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
         t.w.bits(0b100, 3);    // 'a', 'a', end of block
         t.plain = "aa";
     }},
    {"single distance code of length 1",
     [](Tokens &t) {
         a_then_length3(t, {1}, 0);  // distance code 0: distance 1
         t.plain = "aaaa";
     }},
    {"literals only with an empty distance code",
     [](Tokens &t) {
         const Code c(abc_literals());
         header(t, c.lengths, {0});
         for (char ch : std::string("abba")) c.put(t.w, static_cast<unsigned char>(ch));
         c.put(t.w, 256);
         t.plain = "abba";
     }},
    {"long codes in sub-tables",
     [](Tokens &t) {
         // Lengths 1..15 and two of 15 make a complete code whose long codes
         // lie beyond the first-level tables of both alphabets.
         std::vector<unsigned> lit(286, 0), dist(30, 0);
         const unsigned syms[] = {'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h', 'i', 'j', 'k', 'l', 'm', 256, 285, 257};
         for (unsigned i = 0; i < 16; i++) lit[syms[i]] = dist[i] = i < 15 ? i + 1 : 15;
         header(t, lit, dist);
         Code lc(lit), dc(dist);
         std::string full(200, '\0');  // the window before the first byte
         for (unsigned i = 0; i < 13; i++) {
             lc.put(t.w, syms[i]);
             full.push_back(static_cast<char>(syms[i]));
         }
         lc.put(t.w, 285);  // length 258, distance code 15 (15 bits): 257 + extra
         dc.put(t.w, 15);
         t.w.bits(0, 6);    // distance 193
         lc.put(t.w, 257);  // length 3, distance code 14: 129 + 0
         dc.put(t.w, 14);
         t.w.bits(0, 6);
         lc.put(t.w, 256);
         for (unsigned i = 0; i < 258; i++) full.push_back(full[full.size() - 193]);
         for (unsigned i = 0; i < 3; i++) full.push_back(full[full.size() - 129]);
         t.plain = full.substr(200);
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

INSTANTIATE_TEST_SUITE_P(Cases, InflateDecode, ::testing::ValuesIn(kDecodeCases),
                         CaseName());

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
        Tokens dyn;
        header(dyn, lit, {0});
        for (unsigned i = 0; i < count; i++) lc.put(dyn.w, 'a');
        lc.put(dyn.w, 256);
        ChildResult r = decode_member(member(dyn.w.finish(), plain) + "garbage after the trailer");
        EXPECT_EQ(r.status, 0) << "dynamic, " << count << ": " << r.err;
        EXPECT_EQ(r.out, plain);

        BitWriter fixed;
        put_fixed_literals(fixed, plain, true);
        r = decode_member(member(fixed.finish(), plain));
        EXPECT_EQ(r.status, 0) << "fixed, " << count << ": " << r.err;
        EXPECT_EQ(r.out, plain);
    }
}

// ---- the fast loop's boundaries ----------------------------------------------------
// The decoder's fast loop reads the input a word ahead and copies matches in
// wide pieces; it hands over to the byte-at-a-time decoder near the end of
// each input buffer fill (32768 bytes) and of each 64 KiB ring, and gives
// back the bytes it read ahead whenever it stops. Each stream below is long
// enough to cross several fills and windows and is decoded behind gzip
// headers of several lengths, which moves the fill boundaries across its
// codes; two of them are also decoded back to back as two members, so that
// the first one's end and trailer lie inside the read-ahead.

// Distances around the copy strategies' limits (1, below 8, 8 to 15, 16 and
// 32, the window size and just below it), mixed with random ones.
unsigned pick_distance(std::mt19937 &rng) {
    static const unsigned kEdges[] = {1, 2, 3, 5, 7, 8, 15, 16, 17, 31, 32, 258, 32752, 32753, 32767, 32768};
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
    {"two literals per lookup",
     [](Tokens &t, std::mt19937 &rng) {
         // 'a'..'h' get 4-bit codes, so that the first level pairs them; the
         // other symbols fill the code with 9 and 10 bits.
         std::vector<unsigned> lit(286);
         for (unsigned s = 0, rest = 0; s < 286; s++) lit[s] = s >= 'a' && s <= 'h' ? 4 : rest++ < 234 ? 9 : 10;
         t.dynamic_begin(true, lit, random_complete_code(rng, 30, 30));
         while (t.plain.size() < 300000) {
             if (t.plain.empty() || rng() % 8 != 0) {
                 t.literal(static_cast<char>(rng() % 16 == 0 ? rng() : 'a' + rng() % 8));
             } else {
                 t.match(3 + rng() % 30, 1 + static_cast<unsigned>(rng() % std::min<size_t>(t.plain.size(), 32768)));
             }
         }
         t.end_block();
     }},
    {"stored blocks between coded ones",
     [](Tokens &t, std::mt19937 &rng) {
         for (int block = 0; block < 4; block++) {
             t.stored(random_bytes(10000 + rng() % 30000, block), false);
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
