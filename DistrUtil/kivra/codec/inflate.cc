// inflate.cc - decoder of DEFLATE data (RFC 1951).
//
// The stream is read from the shared input (in_byte) block by block and
// decoded into `window`, used as a ring of RING (64 KiB) bytes that is both
// the LZ77 history and the output staging area: whenever it fills up it goes
// to flush_window, which folds it into the CRC and writes it to ofd, and
// decoding continues at position 0 with the old bytes still there as history.
// The ring is twice the longest distance, so the bytes up to WSIZE after the
// output position are older than any match can reach: copies may run past a
// match's end there (or into the array's slack past the ring) and wide
// copies need no care for what lies after the match.
//
// Tables. huft_build turns a block's code lengths into one array of 64-bit
// entries (layout below): a first level indexed by the next `bits` input
// bits, and behind a link entry a sub-table for each first-level prefix that
// longer codes share. A first-level literal entry holds two literals where
// both codes fit its index. Two decoders read these tables:
//  - the fast loop (fast_codes) runs while the input buffer holds at least
//    FAST_IN bytes and the ring has room for a longest match before its
//    end. It refills the bit buffer a whole word at a time straight from
//    inbuf (read ahead), takes an entry per lookup (up to two literals, or a
//    length or distance with its extra bits), looks the next code up before
//    a match is copied, and copies matches in 16- or 8-byte pieces;
//  - the byte-at-a-time decoder takes one symbol per entry and reads input a
//    byte at a time only as far as the entry's `need` asks (see huft_build),
//    so an input that ends early or turns invalid is noticed at the same bit
//    whatever the width of the table.
// Why the fast loop is safe:
//  - it reads inbuf only below insize, and the window array only within its
//    bounds; a piece that runs past the end of a match writes at most 61
//    bytes into the ring's dead part or its slack, and a single literal's
//    copy lands on the byte after it;
//  - on leaving the loop every unused whole byte goes back to inbuf (inptr
//    moves back), so everything outside the loop sees the bit buffer, inptr
//    and bytes_in exactly as the byte-at-a-time decoder leaves them, and the
//    member trailer is read from the right place;
//  - near the end of the input buffer or of the ring the byte-at-a-time
//    decoder takes over, so refills of inbuf, end-of-file errors and window
//    flushes happen at the same points of the output in both.
// The fast loop is compiled twice from one source: for every processor, and
// with BMI1 and BMI2 (bit-field extract, flag-free shifts by a register
// count), chosen at run time by what the processor reports; tests run both
// (inflate_portable_only).
//
// Every block routine reports through one small result code (BLOCK_OK,
// BAD_DATA, BAD_TABLE, NO_MEMORY below); the member decoder turns these into
// its fatal messages.
#include "stream.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// ---- block result codes ----------------------------------------------------------
constexpr int BLOCK_OK = 0;   // success
constexpr int BAD_DATA = 1;   // invalid data: bad code, stored length/complement mismatch,
                              // too many codes, a repeat past the end, an incomplete code
                              // where a complete one is required, a symbol read through an
                              // empty code
constexpr int BAD_TABLE = 2;  // block type 3, or code lengths that over-subscribe the code space
constexpr int NO_MEMORY = 3;  // no memory for a decoding table
// huft_build's results: the two below, BAD_TABLE and NO_MEMORY.
constexpr int HUFT_COMPLETE = 0;
constexpr int HUFT_INCOMPLETE = 1;

// ---- decoder state ------------------------------------------------------------
// The bit buffer, kept between calls in these two variables and copied into a
// local Bits by the routines that read bits:
// bb  bit buffer: its bit 0 is the next input bit not yet consumed; the bits
//     at and above bit bk are zero. Outside the fast loop it grows a byte at a
//     time and holds at most 23 bits (at most 16 are asked for). Inside the
//     fast loop (a local copy) it is refilled a word at a time and may hold,
//     above bk, bits of the next input bytes; those bytes are still counted
//     as unread (inptr stands on the first of them).
// bk  number of valid bits in bb; whole bytes among them were taken from
//     inbuf, and those the fast loop took are always still there, just below
//     inptr, so that it can give them back.
// The output position is `outcnt` (stream layer): where the next byte goes
// in the ring window[0..RING).
constexpr unsigned RING = 2 * WSIZE;
static_assert(RING + 16 <= sizeof window && (RING & (RING - 1)) == 0);
using bitbuf_t = ulg;  // 64 bits on x86-64, 32 on 32-bit x86
constexpr unsigned BITBUF_BITS = 8 * sizeof(bitbuf_t);
bitbuf_t bb;
unsigned bk;

constexpr int lbits = 9;  // wished first-level bits of dynamic literal/length tables
constexpr int dbits = 6;  // wished first-level bits of dynamic distance tables
constexpr int fixed_lbits = 7;
constexpr int fixed_dbits = 5;
constexpr int clbits = 7;  // wished first-level bits of the code-length table
// huft_build indexes its first level by up to this many bits more than the
// wished ones (never more than the longest code). One: a literal/length first
// level of 2^10 entries (8 KiB) leaves the level-one data cache room for the
// window's recent bytes; a wider one took more cache misses than it saved links.
constexpr unsigned WIDER = 1;

constexpr unsigned BMAX = 16;                      // longest code length huft_build accepts
constexpr unsigned N_MAX = FIXED_L_CODES;          // most symbols in one code
constexpr unsigned LL_MAX = L_CODES + D_CODES;     // lengths of a dynamic block
constexpr unsigned INVALID = 99;                   // extra bits in cplext of a code that must not occur
constexpr unsigned MAX_EXTRA = 13;                 // most extra bits of a length or distance

constexpr unsigned mask(unsigned n) { return (1u << n) - 1; }

// Bases and extra bits as huft_build takes them: of literal/length codes
// 257..287 (286 and 287 exist only in fixed blocks and are marked invalid:
// `tail`), and of distance codes 0..29.
template <size_t M, class T, size_t N>
constexpr std::array<ush, M> as_ush(const std::array<T, N> &a, ush tail = 0) {
    std::array<ush, M> r{};
    for (size_t i = 0; i < M; i++) r[i] = i < N ? static_cast<ush>(a[i]) : tail;
    return r;
}
constexpr std::array<ush, 31> cplens = as_ush<31>(LENGTH_BASE), cplext = as_ush<31>(LENGTH_EXTRA, INVALID);
constexpr std::array<ush, 30> cpdist = as_ush<30>(DIST_BASE), cpdext = as_ush<30>(DIST_EXTRA);

// ---- table entries ---------------------------------------------------------------
// One entry (huft) per index: a 32-bit word in the high half, and in the low
// half its step, which BMI1's bextr takes as a bit field's place:
//   bits 0-5    the word's total (below), where the next code starts
//   bits 8-15   the table's first-level bits: the width of the next index
//   (the other bits zero), so that bextr(b, entry) is the index of the code
// after a literal entry, and the fast loop drops an entry's bits by its step.
// The word:
//   bits 0-5    total: the bits the fast loop drops for the entry (at most
//               29, so bit 5 is clear and the entry itself serves as a shift
//               count): the code (both codes of two literals) and, for a
//               length or distance, its extra bits; for a link, the index
//               bits of its sub-table
//   a literal entry (bit 31 set):
//     bits 6-9    length of the (first) code, less 1
//     bits 10-13  its need less its length: the bits the byte-at-a-time
//                 decoder buffers before it takes the entry (see huft_build)
//     bit 14      a second literal follows the first (PAIR)
//     bits 15-22  the first literal; bits 23-30 the second (the first again
//                 when it is alone)
//   any other entry (bit 31 clear):
//     bits 6-10   length of the code
//     bits 11-14  its need less its length
//     bit 15      SPECIAL; clear: a length or distance base
//     bits 16-30  the base; for a special entry END_ENTRY (0, end of block),
//                 BAD_ENTRY (1, a code that must not occur) or, above those,
//                 a link: the index in the array where its sub-table starts
constexpr uint32_t LITERAL = 0x80000000u;
constexpr uint32_t PAIR = 1u << 14;
constexpr uint32_t SPECIAL = 1u << 15;
constexpr unsigned END_ENTRY = 0, BAD_ENTRY = 1;
constexpr unsigned total_of(uint32_t p) { return p & 63; }
constexpr unsigned value_of(uint32_t p) { return p >> 16; }  // of an entry that is not a literal (bit 31 clear)
constexpr bool is_literal(uint32_t p) { return (p & LITERAL) != 0; }
constexpr bool is_literal(uint64_t e) { return static_cast<int64_t>(e) < 0; }  // a whole huft: its word's bit 31
constexpr bool is_special(uint32_t p, unsigned value) { return (p & (LITERAL | SPECIAL)) == SPECIAL && value_of(p) == value; }
constexpr bool is_link(uint32_t p) { return (p & (LITERAL | SPECIAL)) == SPECIAL && value_of(p) > BAD_ENTRY; }
constexpr unsigned other_length(uint32_t p) { return (p >> 6) & 31; }  // of an entry known not to be a literal
constexpr unsigned code_length(uint32_t p) { return is_literal(p) ? ((p >> 6) & 15) + 1 : other_length(p); }
constexpr unsigned need_of(uint32_t p) { return code_length(p) + ((p >> (is_literal(p) ? 10 : 11)) & 15); }
constexpr unsigned first_literal(uint32_t p) { return (p >> 15) & 0xff; }
constexpr uint32_t literal_entry(unsigned len, unsigned need, unsigned lit) {
    return LITERAL | lit << 23 | lit << 15 | (need - len) << 10 | (len - 1) << 6 | len;
}
constexpr uint32_t other_entry(uint32_t special, unsigned value, unsigned len, unsigned need, unsigned total) {
    return value << 16 | special | (need - len) << 11 | len << 6 | total;
}
constexpr uint32_t word_of(huft e) { return static_cast<uint32_t>(e >> 32); }
constexpr huft with_step(uint32_t word, unsigned bits) {
    return static_cast<huft>(word) << 32 | total_of(word) | bits << 8;
}
static_assert(24577 <= 0x7fff && MAX_MATCH <= 0x7fff && BMAX + MAX_EXTRA < 32 && BMAX < 32);

// Each byte with its bits in reverse order.
constexpr std::array<uint8_t, 256> REVERSED_BYTE = [] {
    std::array<uint8_t, 256> r{};
    for (unsigned i = 1; i < 256; i++) r[i] = static_cast<uint8_t>(r[i >> 1] >> 1 | (i & 1) << 7);
    return r;
}();

// The table of an empty code: every lookup finds a code that must not occur,
// before any input is read.
constexpr huft NO_CODE[1] = {with_step(other_entry(SPECIAL, BAD_ENTRY, 0, 0, 0), 0)};
const huft *or_no_code(const huft *t) { return t != nullptr ? t : NO_CODE; }

}  // namespace

// ---- table builder ----------------------------------------------------------------
// huft_build: the decoding table of symbols 0..n-1.
//   b  code length of each symbol, 0 = no code. Comes from the input stream
//      (dynamic blocks) and is therefore untrusted: over-subscription is
//      detected and lengths above 16 are refused.
//   n  number of symbols; set by the caller, at most 288 (more: result 2).
//   s  symbols below s are simple: below 256 a literal, 256 end of block.
//      With s above 256 (a literal/length code) first-level entries pair
//      literals whose codes fit together.
//   d  base (length or distance) of each symbol from s up, indexed sym - s.
//      A constant list; may be null when n <= s.
//   e  its extra bits, from the low byte, or INVALID (any value above 13)
//      for a symbol that must not occur. Same indexing and nullability as d.
//   t  receives the table (one array, released by huft_free), or null.
//   m  in: wished first-level bits l; out: the bits the first level is
//      indexed by: l raised to the shortest code length and lowered to the
//      longest, then widened by up to WIDER, never beyond the longest code.
// The `need` of an entry: l for a code of at most l bits; for a longer one,
// the bits that resolve it in levels of l bits, each level as deep as the
// longest code under its prefix but at most l bits deeper; the free codes of
// an incomplete code count as codes of the longest length. The decoder
// wishes 5 to 9 bits.
// Result:
//   HUFT_COMPLETE (0)    complete code (a single code of length 1 counts as
//                        complete), or no code at all: every length 0, *t null
//                        and *m 0
//   HUFT_INCOMPLETE (1)  incomplete code; the table is built, valid (the
//                        unused codes decode as BAD_ENTRY) and must be
//                        released by the caller
//   BAD_TABLE (2)        over-subscribed code, a length above 16, n above
//                        288, or (only for wishes below 5) sub-tables beyond
//                        what a link can address; no table
//   NO_MEMORY (3)        out of memory; no table
int huft_build(const unsigned *b, unsigned n, unsigned s, const ush *d, const ush *e, huft **t,
               int *m) {
    *t = nullptr;
    if (n > N_MAX) return BAD_TABLE;

    std::array<unsigned, BMAX + 1> c{};  // number of codes of each length
    for (unsigned i = 0; i < n; i++) {
        if (b[i] > BMAX) return BAD_TABLE;
        c[b[i]]++;
    }
    if (c[0] == n) {
        *m = 0;
        return HUFT_COMPLETE;
    }
    unsigned k = 1;  // shortest code
    while (c[k] == 0) k++;
    unsigned g = BMAX;  // longest code
    while (c[g] == 0) g--;
    const unsigned l = static_cast<unsigned>(std::clamp(*m, static_cast<int>(k), static_cast<int>(g)));
    const unsigned bits = std::min(l + WIDER, g);
    *m = static_cast<int>(bits);

    // Code space: y counts the free codes at the current length.
    int y = 1 << k;
    for (unsigned j = k; j < g; j++, y <<= 1) {
        y -= static_cast<int>(c[j]);
        if (y < 0) return BAD_TABLE;
    }
    y -= static_cast<int>(c[g]);
    if (y < 0) return BAD_TABLE;

    // Symbols sorted by length, in symbol order within a length (canonical
    // order), those without a code after them. x[len] (len >= 1): where the
    // symbols of that length start in v (kept in start), and after the sort
    // where they end.
    std::array<ush, N_MAX> v;
    std::array<unsigned, BMAX + 2> x{};
    for (unsigned j = 1; j <= BMAX; j++) x[j + 1] = x[j] + c[j];
    const unsigned nv = n - c[0];
    x[0] = nv;
    const std::array<unsigned, BMAX + 2> start = x;
    std::array<unsigned, BMAX + 2> lit_end = x;  // literals of each length: from start to lit_end
    for (unsigned i = 0; i < n; i++) v[x[b[i]]++] = static_cast<ush>(i);
    const unsigned short_end = x[bits];  // codes of at most `bits` bits come first

    // first[len]: the first code of that length, most significant bit first.
    std::array<unsigned, BMAX + 1> first{};
    for (unsigned len = 2; len <= g; len++) first[len] = (first[len - 1] + c[len - 1]) << 1;
    // Length of the code at code-space position pos (codes scaled to g bits);
    // the free positions at the end count as codes of length g.
    const auto length_at = [&](unsigned pos) {
        unsigned len = g;
        while (c[len] == 0 || first[len] << (g - len) > pos) len--;
        return len;
    };

    // The entry of each code in canonical order, and the code held
    // bit-reversed (first input bit in bit 0) in rev. A code's need looks at
    // the last position under each prefix; codes in a row share it.
    std::array<uint32_t, N_MAX> ent;
    std::array<ush, N_MAX> rev;
    unsigned end = 0, deepest = 0;  // last position looked at, length found there
    for (unsigned len = k, p = 0; len <= g; len++) {
        for (unsigned code = first[len]; p < x[len]; p++, code++) {
            const unsigned sym = v[p], pos = code << (g - len);
            rev[p] = static_cast<ush>((REVERSED_BYTE[code & 0xff] << 8 | REVERSED_BYTE[code >> 8]) >> (16 - len));
            unsigned nd = l;
            for (unsigned w = l; len > nd; w += l) {
                if ((pos | mask(g - w)) != end) deepest = length_at(end = pos | mask(g - w));
                nd = w + std::min(l, deepest - w);
            }
            if (sym < s && sym < 256) {
                ent[p] = literal_entry(len, nd, sym);
                lit_end[len] = p + 1;
            } else if (sym < s) {
                ent[p] = other_entry(SPECIAL, END_ENTRY, len, nd, len);
            } else {
                const unsigned extra = e[sym - s] & 0xff;
                ent[p] = extra > MAX_EXTRA ? other_entry(SPECIAL, BAD_ENTRY, len, nd, len)
                                           : other_entry(0, d[sym - s], len, nd, len + extra);
            }
        }
    }
    const huft free_code = with_step(other_entry(SPECIAL, BAD_ENTRY, std::max(l, g), std::max(l, g), 0), bits);

    // Sub-tables: one per first-level prefix that longer codes share. The
    // codes of a prefix follow each other in canonical order, the longest
    // last; a sub-table is indexed by the bits up to the longest.
    unsigned size = 1u << bits;
    for (unsigned p = short_end, q; p < nv; p = q) {
        for (q = p; q < nv && (rev[q] & mask(bits)) == (rev[p] & mask(bits));) q++;
        size += 1u << (b[v[q - 1]] - bits);
    }
    if (size > 0x7fff) return BAD_TABLE;
    huft *tab = static_cast<huft *>(std::malloc(size * sizeof(huft)));
    if (tab == nullptr) return NO_MEMORY;

    // The first level by doubling: while tab[0..2^len) holds the entries of
    // at most len bits, its copy above it repeats them for len + 1 bits. With
    // s above 256 an entry may hold two literals (the first in the low bits)
    // whose codes fit together. Indexes no such entry reaches keep free_code,
    // or below become links to the sub-tables.
    std::fill(tab, tab + (1u << k), free_code);
    for (unsigned len = k, p = 0;; len++) {
        for (; p < x[len]; p++) tab[rev[p]] = with_step(ent[p], bits);
        for (unsigned len1 = k; s > 256 && len1 < len; len1++) {
            for (unsigned p1 = start[len1]; p1 < lit_end[len1]; p1++) {
                for (unsigned p2 = start[len - len1]; p2 < lit_end[len - len1]; p2++) {
                    tab[rev[p1] | rev[p2] << len1] = with_step(
                        ((ent[p1] & ~(0xffu << 23)) + total_of(ent[p2])) | PAIR | first_literal(ent[p2]) << 23, bits);
                }
            }
        }
        if (len == bits) break;
        std::memcpy(tab + (1u << len), tab, (sizeof *tab) << len);
    }
    for (unsigned p = short_end, at = 1u << bits, q; p < nv; p = q) {
        const unsigned key = rev[p] & mask(bits);
        for (q = p; q < nv && (rev[q] & mask(bits)) == key;) q++;
        const unsigned sub = b[v[q - 1]] - bits;
        tab[key] = with_step(other_entry(SPECIAL, at, 0, 0, sub), bits);
        huft *st = tab + at;
        std::fill(st, st + (1u << sub), free_code);
        for (unsigned r = p; r < q; r++) {
            const huft en = with_step(ent[r], bits);
            for (unsigned i = rev[r] >> bits; i < (1u << sub); i += 1u << (b[v[r]] - bits)) st[i] = en;
        }
        at += 1u << sub;
    }

    *t = tab;
    return y != 0 && g != 1 ? HUFT_INCOMPLETE : HUFT_COMPLETE;
}

// Releases a table built by huft_build.
int huft_free(huft *t) {
    std::free(t);
    return 0;
}

namespace {

// The bit buffer as a value the routines copy into a local and store back.
struct Bits {
    bitbuf_t b;  // bb
    unsigned k;  // bk

    void need(unsigned n) {
        while (k < n) {
            b |= static_cast<bitbuf_t>(in_byte()) << k;
            k += 8;
        }
    }
    void drop(unsigned n) {
        b >>= n;
        k -= n;
    }
    unsigned peek(unsigned n) const { return static_cast<unsigned>(b) & mask(n); }

    // Gives the whole bytes back to inbuf, if they all came from it (a refill
    // of inbuf in between makes the older ones unreachable: then false).
    bool give_back() {
        if ((k >> 3) > inptr) return false;
        inptr -= k >> 3;
        k &= 7;
        b &= (static_cast<bitbuf_t>(1) << k) - 1;
        return true;
    }
};

Bits load_bits() { return Bits{bb, bk}; }
void store_bits(const Bits &s) {
    bb = s.b;
    bk = s.k;
}

// Tables of the block being decoded. They live here rather than in the block
// routines' frames so that a decode abandoned from inside (a fatal input error
// whose abort hook jumps out instead of exiting) leaves them reachable; the
// next inflate() releases them.
huft *live_tl;  // literal/length table, or the code-length table before it
huft *live_td;  // distance table

void release(huft *&t) {
    huft_free(t);
    t = nullptr;
}

// Returns r after releasing the block's tables (for every exit of a block).
int release_tables(int r) {
    release(live_tl);
    release(live_td);
    return r;
}

// Advances the output position after `n` bytes were put there; a full ring
// is flushed and decoding continues at position 0.
inline unsigned advance(unsigned w) {
    if (w == RING) {
        outcnt = w;
        flush_window();
        return 0;
    }
    return w;
}

// The entry of the code at the bottom of b, through a link for a long one.
inline uint32_t lookup(const huft *t, unsigned bits, bitbuf_t b) {
    uint32_t p = word_of(t[static_cast<unsigned>(b) & mask(bits)]);
    if (is_link(p)) p = word_of(t[value_of(p) + ((static_cast<unsigned>(b) >> bits) & mask(total_of(p)))]);
    return p;
}

// One symbol for the byte-at-a-time decoder: reads input bytes until the
// entry found has the bits it needs. The bits above s.k are zero, so an entry
// found too early needs more than are there: it is only taken once the bits
// it depends on are all real. The code's bits are not dropped.
inline uint32_t decode_symbol(Bits &s, const huft *t, unsigned bits) {
    uint32_t p;
    while (need_of(p = lookup(t, bits, s.b)) > s.k) {
        s.b |= static_cast<bitbuf_t>(in_byte()) << s.k;
        s.k += 8;
    }
    return p;
}

// ---- fast loop ---------------------------------------------------------------------------
// Input bytes the fast loop wants in inbuf before a round: two word refills
// of at most 7 bytes plus an 8-byte load on 64-bit builds, four of at most 3
// bytes plus a 4-byte load on 32-bit ones.
constexpr unsigned FAST_IN = 16;
static_assert(FAST_IN >= (BITBUF_BITS < 64 ? 4 * 3 + 4 : 7 + 8));
// Widest first level the fast loop takes (wider ones: byte at a time only):
// on 64-bit builds four literal entries in a row and a lookup after them fit
// one refill.
constexpr unsigned FAST_BITS_MAX = 11;
static_assert(lbits + WIDER <= FAST_BITS_MAX && (BITBUF_BITS < 64 || 5 * FAST_BITS_MAX <= BITBUF_BITS - 8));
// Bits a match takes: length code and extra bits, distance code and extra
// bits; a refill leaves at least BITBUF_BITS - 8.
static_assert(BITBUF_BITS == 32 || MAX_BITS + 5 + MAX_BITS + MAX_EXTRA <= BITBUF_BITS - 8);
static_assert(MAX_BITS + 5 <= 32 - 8 && BMAX <= 32 - 8 && MAX_EXTRA <= 32 - 8 && 2 * FAST_BITS_MAX <= 32 - 8);

// Copies the match of length n (3..258) at distance dist (1..WSIZE) to
// dst (win[w]), with w + n <= RING. Pieces run up to 61 bytes past the match's end
// (dead bytes of the ring, or its slack); each piece reads only bytes that
// are final: its source lies at least a piece's width behind it, or at the
// top of the ring, WSIZE or more bytes after the destination.
inline void copy_match(uch *win, uch *dst, unsigned dist, unsigned n) {
    const unsigned w = static_cast<unsigned>(dst - win);
    const unsigned from = (w - dist) & (RING - 1);
    const uch *const src = win + from;
    if (dist >= 16 && from + n <= RING) {
        // Most matches are short: the first four pieces go without a test.
        std::memcpy(dst, src, 16);
        std::memcpy(dst + 16, src + 16, 16);
        std::memcpy(dst + 32, src + 32, 16);
        std::memcpy(dst + 48, src + 48, 16);
        for (unsigned i = 64; i < n; i += 16) std::memcpy(dst + i, src + i, 16);
        return;
    }
    // An 8-byte piece through a register, so that source and destination may overlap.
    const auto piece8 = [&](unsigned i, const uch *s8) {
        uint64_t v;
        std::memcpy(&v, s8, 8);
        std::memcpy(dst + i, &v, 8);
    };
    if (from > w) {  // the source wraps from the top of the ring to position 0: byte by byte
        for (unsigned i = 0, f = from; i < n; i++, f = (f + 1) & (RING - 1)) dst[i] = win[f];
    } else if (dist >= 8) {
        for (unsigned i = 0; i < n; i += 8) piece8(i, src + i);
    } else if (dist == 1) {
        const uint64_t v = src[0] * 0x0101010101010101ull;
        for (unsigned i = 0; i < n; i += 8) std::memcpy(dst + i, &v, 8);
    } else {
        // A piece is right in its first dist bytes: step by dist until the
        // pattern is 8 or more bytes long, then by 8 at that period.
        unsigned i = 0;
        for (; i < 8; i += dist) piece8(i, src + i);
        for (const unsigned period = i; i < n; i += 8) piece8(i, dst + i - period);
    }
}

enum class FastEnd { handover, end_of_block, invalid };

// Ring room the fast loop wants before a round (up to eight literals or one
// match); copy_match may also write 61 bytes past a match's end, which stays
// inside the window array, and read as far past the ring.
constexpr unsigned FAST_OUT = MAX_MATCH;
static_assert(RING - FAST_OUT + MAX_MATCH + 61 <= sizeof window && RING + 61 <= sizeof window);

// The fast loop of inflate_codes (see the head of this unit): decodes while
// the input buffer and the ring have room, then gives unused whole bytes
// back and returns. handover leaves the next symbol to the byte-at-a-time
// decoder; the ring may then be full (w == RING), not yet flushed.
//
// Each round starts with the next code's entry already looked up (after a
// refill), so that the lookup is under way while the previous match is
// copied. inptr and insize live in locals here: stores into the window
// could otherwise alias them and force them through memory.
template <bool Bmi>
[[gnu::always_inline]] inline FastEnd fast_loop(Bits &s, unsigned &w, const huft *tl, const huft *td, unsigned bl,
                                                unsigned bd) {
    if (!s.give_back()) return FastEnd::handover;
    if (insize - inptr < FAST_IN || w > RING - FAST_OUT) return FastEnd::handover;
    const unsigned lmask = mask(bl), dmask = mask(bd);
    bitbuf_t b = s.b;
    // k counts modulo BITBUF_BITS (its low bits are the count): a drop
    // subtracts a whole entry, whose low bits are its total, and x86 shifts by
    // a register count take it modulo the width, so neither needs a mask.
    constexpr unsigned KMASK = BITBUF_BITS - 1;
    unsigned k = s.k;
    const uch *ip = inbuf + inptr;
    const uch *const ip_last = inbuf + insize - FAST_IN;  // a round starts at or below it
    uch *const win = window;
    uch *op = win + w;  // the output position
    uch *const op_last = win + RING - FAST_OUT;  // a round starts at or below it
    // Word refill: needs sizeof(bitbuf_t) bytes at ip below insize (the
    // first one lowest: x86 is little-endian); adds the whole bytes that fit,
    // leaving at least BITBUF_BITS - 8 valid bits. Bits of the next, partly
    // fitting byte land above k; they equal what the next refill ORs in.
    const auto refill = [&] {
        bitbuf_t word;
        std::memcpy(&word, ip, sizeof word);
        b |= word << (k & KMASK);
        ip += (~k & KMASK) >> 3;
        k |= BITBUF_BITS - 8;
    };
    // Drops the bits of n's low bits: an entry's total, or a count.
    const auto drop = [&](unsigned n) {
        b >>= n & KMASK;
        k -= n;
    };
    // The entry behind a link: the bits after the first level index its sub-table.
    const auto follow = [&](const huft *t, unsigned bits, uint32_t p) {
        return t[value_of(p) + ((static_cast<unsigned>(b) >> bits) & mask(total_of(p)))];
    };
    // Base plus extra bits of a length or distance entry not yet dropped.
    const auto base_plus_extra = [&](huft e) {
        return value_of(word_of(e)) + ((static_cast<unsigned>(b) & mask(total_of(static_cast<uint32_t>(e)))) >>
                                       other_length(word_of(e)));
    };
    // One or two literals of entry e in one 2-byte store (when there is one
    // only, its copy lands on the byte after it, which is not yet output);
    // the drop takes the total from the step.
    const auto put_literals = [&](huft e) {
        drop(static_cast<unsigned>(e));
        const uint16_t bytes = static_cast<uint16_t>(e >> (32 + 15));
        std::memcpy(op, &bytes, 2);
        op += 1 + ((e >> (32 + 14)) & 1);
    };
    // Puts out the literal(s) of entry e and returns the entry of the code
    // after them. Its index comes from the bits before the drop, with BMI1 in
    // one bextr of the field e's step describes (one step less on the chain
    // from one lookup to the next), else by shift and mask.
    const auto literal_step = [&](huft e) {
        bitbuf_t index;
        if constexpr (Bmi) {
#if defined(__x86_64__) || defined(__i386__)
            asm("bextr %2, %1, %0" : "=r"(index) : "r"(b), "r"(static_cast<bitbuf_t>(e)));
#endif
        } else {
            index = (b >> total_of(word_of(e))) & lmask;
        }
        put_literals(e);
        return tl[index];
    };

    FastEnd result = FastEnd::handover;
    refill();
    huft e = tl[b & lmask];
    // Each round starts with the next code's entry looked up. Where the bits
    // allow, a refill comes after a lookup and before its bits are dropped,
    // which keeps its memory access off the chain from one lookup to the
    // next; bits left are noted at each step. A round takes at most two
    // refills on 64-bit builds, four on 32-bit ones (FAST_IN), and puts out
    // at most MAX_MATCH bytes (FAST_OUT). Entries stay whole (huft): drops
    // take the total from the step, fields come from the word's place.
    while (ip <= ip_last && op <= op_last) {
        refill();  // >= 56 bits (64-bit builds), >= 24 (32-bit ones)
        if (is_literal(e)) {
            e = literal_step(e);
            if constexpr (BITBUF_BITS >= 64) {
                // Each first-level entry takes at most FAST_BITS_MAX bits.
                for (int more = 0; more < 3 && is_literal(e); more++) e = literal_step(e);
            }
            continue;
        }
        if (word_of(e) & SPECIAL) {
            if (is_link(word_of(e))) {
                e = follow(tl, bl, word_of(e));  // a refill came after the last drop
                if (is_literal(e)) {
                    put_literals(e);
                    if constexpr (BITBUF_BITS < 64) refill();
                    e = tl[b & lmask];
                    continue;
                }
            }
            if (is_special(word_of(e), END_ENTRY)) {
                drop(static_cast<unsigned>(e));
                result = FastEnd::end_of_block;
                break;
            }
            if (word_of(e) & SPECIAL) {
                result = FastEnd::invalid;
                break;
            }
        }

        const unsigned n = base_plus_extra(e);
        drop(static_cast<unsigned>(e));  // 64-bit: >= 36 bits
        if constexpr (BITBUF_BITS < 64) refill();
        huft d = td[b & dmask];
        if constexpr (BITBUF_BITS >= 64) refill();  // >= 56 bits
        if (word_of(d) & SPECIAL) {
            if (is_link(word_of(d))) d = follow(td, bd, word_of(d));
            if (word_of(d) & SPECIAL) {
                result = FastEnd::invalid;
                break;
            }
        }
        unsigned dist;
        if constexpr (BITBUF_BITS >= 64) {
            dist = base_plus_extra(d);
            drop(static_cast<unsigned>(d));  // >= 28 bits
        } else {
            // Code and extra bits may exceed what one refill gives.
            const uint32_t p = word_of(d);
            const unsigned len = other_length(p), extra = total_of(p) - len;
            drop(len);
            refill();
            dist = value_of(p) + (static_cast<unsigned>(b) & mask(extra));
            drop(extra);
            refill();
        }
        e = tl[b & lmask];  // the next round's code, looked up before the copy
        copy_match(win, op, dist, n);
        op += n;
    }
    inptr = static_cast<unsigned>(ip - inbuf);
    s.b = b;
    s.k = k & KMASK;
    s.give_back();  // every byte the loop holds is still in inbuf
    w = static_cast<unsigned>(op - win);
    return result;
}

// The fast loop compiled for every processor, and again for those with BMI1
// and BMI2, whose bit-field extract (bextr) finds the index after a literal
// in one step and whose shifts by a register count (shlx, shrx) leave the
// flags alone and take any register for the count, which shortens the chains
// from one lookup to the next. Same source, same results.
FastEnd fast_codes_portable(Bits &s, unsigned &w, const huft *tl, const huft *td, unsigned bl, unsigned bd) {
    return fast_loop<false>(s, w, tl, td, bl, bd);
}
#if defined(__x86_64__) || defined(__i386__)
__attribute__((target("bmi,bmi2"))) FastEnd fast_codes_bmi2(Bits &s, unsigned &w, const huft *tl, const huft *td,
                                                       unsigned bl, unsigned bd) {
    return fast_loop<true>(s, w, tl, td, bl, bd);
}
#endif

using FastCodes = FastEnd (*)(Bits &, unsigned &, const huft *, const huft *, unsigned, unsigned);
FastCodes pick_fast_codes() {
#if defined(__x86_64__) || defined(__i386__)
    if (!inflate_portable_only && cpu_has(CpuFeature::bmi2)) return fast_codes_bmi2;
#endif
    return fast_codes_portable;
}

}  // namespace

bool inflate_portable_only = false;

// ---- block bodies ----------------------------------------------------------------------
// Literals and matches up to the end-of-block code. Result BLOCK_OK at the
// end of the block, BAD_DATA for an invalid code (or a symbol read through an
// empty table).
int inflate_codes(huft *tl, huft *td, int bl, int bd) {
    Bits s = load_bits();
    unsigned w = outcnt;
    const huft *const lt = or_no_code(tl), *const dt = or_no_code(td);
    const unsigned ubl = static_cast<unsigned>(bl), ubd = static_cast<unsigned>(bd);
    const FastCodes fast_codes = ubl <= FAST_BITS_MAX ? pick_fast_codes() : nullptr;

    for (;;) {
        if (fast_codes != nullptr && insize - inptr >= FAST_IN && w <= RING - FAST_OUT) {
            const FastEnd end = fast_codes(s, w, lt, dt, ubl, ubd);
            if (end != FastEnd::handover) {
                store_bits(s);
                outcnt = w;
                return end == FastEnd::end_of_block ? BLOCK_OK : BAD_DATA;
            }
            w = advance(w);
        }

        // One symbol, a byte of input at a time.
        uint32_t p = decode_symbol(s, lt, ubl);
        if (is_literal(p)) {
            s.drop(code_length(p));
            window[w++] = static_cast<uch>(first_literal(p));
            w = advance(w);
            continue;
        }
        if (is_special(p, END_ENTRY)) {
            s.drop(code_length(p));
            store_bits(s);
            outcnt = w;
            return BLOCK_OK;
        }
        if (p & SPECIAL) break;

        unsigned e = total_of(p) - code_length(p);  // extra bits
        s.drop(code_length(p));
        s.need(e);
        unsigned n = value_of(p) + s.peek(e);  // match length
        s.drop(e);

        p = decode_symbol(s, dt, ubd);
        if (p & SPECIAL) break;
        e = total_of(p) - code_length(p);
        s.drop(code_length(p));
        s.need(e);
        unsigned d = w - value_of(p) - s.peek(e);  // source position, reduced below
        s.drop(e);

        // Copy in pieces that run past neither end of the ring. Disjoint
        // ranges go in one block; an overlap must repeat the newest bytes, so
        // it goes byte by byte in increasing order.
        do {
            d &= RING - 1;
            const unsigned piece = std::min({n, RING - d, RING - w});
            if (w >= d + piece || d >= w + piece) {
                std::memcpy(window + w, window + d, piece);
                w += piece;
                d += piece;
            } else {
                for (unsigned q = piece; q > 0; q--) window[w++] = window[d++];
            }
            n -= piece;
            w = advance(w);
        } while (n != 0);
    }

    store_bits(s);
    outcnt = w;
    return BAD_DATA;
}

// Type 0: LEN, NLEN, then LEN bytes copied as they are.
int inflate_stored() {
    Bits s = load_bits();
    unsigned w = outcnt;

    s.drop(s.k & 7);  // to the byte boundary
    s.need(16);
    unsigned n = s.peek(16);
    s.drop(16);
    s.need(16);
    if (n != (~s.peek(16) & 0xffffu)) return BAD_DATA;
    s.drop(16);

    while (n != 0) {
        if (s.k == 0 && inptr < insize) {
            // Byte aligned with nothing buffered: copy straight from inbuf.
            const unsigned piece = std::min({n, insize - inptr, RING - w});
            std::memcpy(window + w, inbuf + inptr, piece);
            inptr += piece;
            w += piece;
            n -= piece;
        } else {
            s.need(8);
            window[w++] = static_cast<uch>(s.b);
            s.drop(8);
            n--;
        }
        w = advance(w);
    }

    store_bits(s);
    outcnt = w;
    return BLOCK_OK;
}

// Type 1: the fixed codes, rebuilt for every block.
int inflate_fixed() {
    std::array<unsigned, N_MAX> l{};
    for (unsigned i = 0; i < N_MAX; i++) l[i] = static_cast<unsigned>(fixed_l_length(static_cast<int>(i)));

    int bl = fixed_lbits;
    int r = huft_build(l.data(), N_MAX, 257, cplens.data(), cplext.data(), &live_tl, &bl);
    if (r != HUFT_COMPLETE) return release_tables(r);

    for (unsigned i = 0; i < D_CODES; i++) l[i] = FIXED_D_LENGTH;
    int bd = fixed_dbits;
    r = huft_build(l.data(), D_CODES, 0, cpdist.data(), cpdext.data(), &live_td, &bd);
    if (r != HUFT_COMPLETE && r != HUFT_INCOMPLETE) return release_tables(r);  // codes 30 and 31 are unused

    return release_tables(inflate_codes(live_tl, live_td, bl, bd));
}

// Type 2: code lengths sent through a code-length code, then the data.
int inflate_dynamic() {
    Bits s = load_bits();

    s.need(5);
    const unsigned nl = 257 + s.peek(5);  // literal/length codes
    s.drop(5);
    s.need(5);
    const unsigned nd = 1 + s.peek(5);  // distance codes
    s.drop(5);
    s.need(4);
    const unsigned nb = 4 + s.peek(4);  // code-length codes
    s.drop(4);
    if (nl > L_CODES || nd > D_CODES) return BAD_DATA;

    std::array<unsigned, LL_MAX> ll{};
    for (unsigned j = 0; j < nb; j++) {
        s.need(3);
        ll[BL_ORDER[j]] = s.peek(3);
        s.drop(3);
    }
    for (unsigned j = nb; j < BL_CODES; j++) ll[BL_ORDER[j]] = 0;

    int bl = clbits;
    int r = huft_build(ll.data(), BL_CODES, BL_CODES, nullptr, nullptr, &live_tl, &bl);
    if (r != HUFT_COMPLETE) return release_tables(r);  // an incomplete one is BAD_DATA
    if (live_tl == nullptr) return BAD_DATA;  // no code-length code: not even the first length can be read

    // Literal/length and distance lengths in one run, so repeats may cross
    // from one to the other.
    const unsigned n = nl + nd;
    const unsigned ubl = static_cast<unsigned>(bl);
    unsigned prev_len = 0;
    for (unsigned i = 0; i < n;) {
        // The code-length code's codes are at most 7 bits (clbits), but a
        // single code of length 1 leaves the other 1-bit pattern invalid.
        const uint32_t p = decode_symbol(s, live_tl, ubl);
        if (!is_literal(p)) return release_tables(BAD_DATA);
        s.drop(code_length(p));
        const unsigned sym = first_literal(p);
        unsigned count;
        unsigned len;
        if (sym < 16) {
            ll[i++] = prev_len = sym;
            continue;
        } else if (sym == REP_3_6) {
            s.need(2);
            count = 3 + s.peek(2);
            s.drop(2);
            len = prev_len;
        } else if (sym == REPZ_3_10) {
            s.need(3);
            count = 3 + s.peek(3);
            s.drop(3);
            len = prev_len = 0;
        } else {
            s.need(7);
            count = 11 + s.peek(7);
            s.drop(7);
            len = prev_len = 0;
        }
        if (i + count > n) return release_tables(BAD_DATA);
        while (count-- > 0) ll[i++] = len;
    }
    release(live_tl);
    store_bits(s);

    bl = lbits;
    r = huft_build(ll.data(), nl, 257, cplens.data(), cplext.data(), &live_tl, &bl);
    if (r != HUFT_COMPLETE) {
        if (r == HUFT_INCOMPLETE) std::fputs(" incomplete literal tree\n", stderr);
        return release_tables(r);
    }
    int bd = dbits;
    r = huft_build(ll.data() + nl, nd, 0, cpdist.data(), cpdext.data(), &live_td, &bd);
    if (r != HUFT_COMPLETE) {
        if (r == HUFT_INCOMPLETE) std::fputs(" incomplete distance tree\n", stderr);
        return release_tables(r);
    }

    return release_tables(inflate_codes(live_tl, live_td, bl, bd));
}

// One block: the last-block bit into *e, then the body by block type.
int inflate_block(int *e) {
    Bits s = load_bits();
    s.need(1);
    *e = static_cast<int>(s.peek(1));
    s.drop(1);
    s.need(2);
    const unsigned type = s.peek(2);
    s.drop(2);
    store_bits(s);

    switch (type) {
    case STORED_BLOCK:
        return inflate_stored();
    case STATIC_TREES:
        return inflate_fixed();
    case DYN_TREES:
        return inflate_dynamic();
    default:
        return BAD_TABLE;
    }
}

// Decodes a whole stream; on success the input stands on the first byte
// after the compressed data and all output has been flushed.
int inflate() {
    release_tables(BLOCK_OK);  // left over from a decode abandoned through the abort hook
    outcnt = 0;
    bk = 0;
    bb = 0;

    int last = 0;
    do {
        const int r = inflate_block(&last);
        if (r != BLOCK_OK) return r;
    } while (!last);

    // Whole bytes still in the bit buffer belong to what follows (the member
    // trailer). Valid streams leave at most one, still present in inbuf.
    while (bk >= 8 && inptr > 0) {
        bk -= 8;
        inptr--;
    }
    flush_window();
    return BLOCK_OK;
}
