// deflate_format.h - the facts of the DEFLATE format (RFC 1951) that both
// directions need: alphabet sizes, the bases and extra bits of length and
// distance codes, the fixed codes, the order of the code-length code's
// lengths. The compressor (trees.cc) and the decoder (inflate.cc) take them
// from here; stream.h includes this header, and it needs nothing else.
#pragma once

#include <array>

constexpr int MAX_BITS = 15;      // longest literal/length or distance code
constexpr int MAX_BL_BITS = 7;    // longest code-length code
constexpr int LENGTH_CODES = 29;  // length symbols 257..285
constexpr int LITERALS = 256;     // literal symbols 0..255
constexpr int END_BLOCK = 256;    // the end-of-block symbol
constexpr int L_CODES = LITERALS + 1 + LENGTH_CODES;  // 286 literal/length symbols
constexpr int D_CODES = 30;                           // distance symbols
constexpr int BL_CODES = 19;                          // code-length symbols
constexpr int FIXED_L_CODES = 288;  // the fixed code also gives 286 and 287 codes (never valid)

// Symbols of the code-length alphabet above 15 (a length of their own):
// repeats, each with its extra bits.
constexpr int REP_3_6 = 16;      // repeat the previous length 3..6 times (2 extra bits)
constexpr int REPZ_3_10 = 17;    // 3..10 zero lengths (3 extra bits)
constexpr int REPZ_11_138 = 18;  // 11..138 zero lengths (7 extra bits)

// Block types, from the 2-bit field after the last-block bit.
constexpr int STORED_BLOCK = 0;
constexpr int STATIC_TREES = 1;
constexpr int DYN_TREES = 2;

// Length symbol 257 + i stands for LENGTH_BASE[i] plus the value of its
// LENGTH_EXTRA[i] extra bits; distance symbol i for DIST_BASE[i] plus
// DIST_EXTRA[i] extra bits. Each base is the previous one plus 2 to the
// power of the previous extra bits, but for 258 (symbol 285, a code of its
// own), and the last distance reaches 32768.
constexpr std::array<int, LENGTH_CODES> LENGTH_EXTRA = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                                        2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
constexpr std::array<unsigned, LENGTH_CODES> LENGTH_BASE = {3,  4,  5,  6,  7,  8,  9,   10,  11,  13,
                                                            15, 17, 19, 23, 27, 31, 35,  43,  51,  59,
                                                            67, 83, 99, 115, 131, 163, 195, 227, 258};
constexpr std::array<int, D_CODES> DIST_EXTRA = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                                 6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
constexpr std::array<unsigned, D_CODES> DIST_BASE = {1,    2,    3,    4,    5,    7,     9,     13,
                                                     17,   25,   33,   49,   65,   97,    129,   193,
                                                     257,  385,  513,  769,  1025, 1537,  2049,  3073,
                                                     4097, 6145, 8193, 12289, 16385, 24577};
constexpr std::array<int, BL_CODES> BL_EXTRA = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2, 3, 7};

// Order in which a dynamic block sends the code-length code's lengths.
constexpr std::array<int, BL_CODES> BL_ORDER = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};

// Code lengths of the fixed codes: literal/length symbols 0..287, and 5 bits
// for each of the 32 distance codes.
constexpr int fixed_l_length(int symbol) { return symbol < 144 ? 8 : symbol < 256 ? 9 : symbol < 280 ? 7 : 8; }
constexpr int FIXED_D_LENGTH = 5;

constexpr bool bases_follow_extra_bits() {
    for (int i = 0; i + 1 < LENGTH_CODES - 1; i++) {
        if (LENGTH_BASE[i + 1] != LENGTH_BASE[i] + (1u << LENGTH_EXTRA[i])) return false;
    }
    for (int i = 0; i + 1 < D_CODES; i++) {
        if (DIST_BASE[i + 1] != DIST_BASE[i] + (1u << DIST_EXTRA[i])) return false;
    }
    return LENGTH_BASE[LENGTH_CODES - 1] == 258 && DIST_BASE[D_CODES - 1] + (1u << DIST_EXTRA[D_CODES - 1]) == 32769;
}
static_assert(bases_follow_extra_bits());
