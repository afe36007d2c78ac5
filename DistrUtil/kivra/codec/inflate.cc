// inflate.cc - decoder of DEFLATE data (RFC 1951).
//
// The stream is read from the shared input (in_byte) block by block and
// decoded into the first 32 KiB of `window`, which is both the LZ77 history
// and the output staging area: whenever it fills up it goes to flush_window,
// which folds it into the CRC and writes it to ofd, and decoding continues at
// position 0 with the old bytes still there as history.
//
// Huffman codes are decoded through multi-level lookup tables (huft_build): a
// first-level table indexed by a fixed number of low-order input bits, with
// sub-tables for the longer codes.
//
// Speed: inflate_codes runs a fast loop (fast_codes) while the input buffer
// holds at least FAST_IN bytes and the window has room for a longest match
// before its end. There the bit buffer is refilled a whole word at a time
// straight from inbuf (read ahead); each literal, length or distance code
// costs one lookup in a packed table built per block from huft_build's
// tables (codes longer than that table's index walk huft_build's tables);
// the next code is looked up before a match is copied; and matches whose
// source lies 16 or more bytes away go in 16-byte pieces. Why this is safe:
//  - the loop reads inbuf only below insize, and the window array only
//    within its bounds; a piece that runs past the end of a match writes
//    over bytes that are still history, so the 16 bytes after the match are
//    saved before the copy and put back after it;
//  - on leaving the loop every unused whole byte goes back to inbuf (inptr
//    moves back), so everything outside the loop sees the bit buffer, inptr
//    and bytes_in exactly as the byte-at-a-time decoder leaves them, and the
//    member trailer is read from the right place;
//  - near the end of the input buffer or of the window the byte-at-a-time
//    decoder below takes over, so refills of inbuf, end-of-file errors and
//    window flushes happen at the same points of the output as ever;
//  - the fast loop decides valid and invalid codes from the same tables.
// The fast loop is compiled twice from one source: for every processor, and
// with BMI2 (flag-free shifts by a register count), chosen at run time by
// what the processor reports; tests run both (inflate_portable_only).
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
// The window position is `outcnt` (stream layer): where the next byte goes.
using bitbuf_t = ulg;  // 64 bits on x86-64, 32 on 32-bit x86
constexpr unsigned BITBUF_BITS = 8 * sizeof(bitbuf_t);
bitbuf_t bb;
unsigned bk;

constexpr int lbits = 9;  // first-level bits of dynamic literal/length tables
constexpr int dbits = 6;  // first-level bits of dynamic distance tables
constexpr int fixed_lbits = 7;
constexpr int fixed_dbits = 5;
constexpr int clbits = 7;  // first-level bits of the code-length table

constexpr unsigned BMAX = 16;        // longest code length huft_build accepts
constexpr unsigned N_MAX = 288;      // most symbols in one code
constexpr unsigned LL_MAX = 286 + 30;  // literal/length plus distance lengths of a dynamic block
constexpr unsigned INVALID = 99;     // huft.e of a code that must not occur
constexpr unsigned END_OF_BLOCK = 15;
constexpr unsigned LITERAL = 16;
constexpr unsigned MAX_EXTRA = 13;   // most extra bits of a length or distance

constexpr std::array<ush, 17> mask_bits = {0x0000, 0x0001, 0x0003, 0x0007, 0x000f, 0x001f,
                                           0x003f, 0x007f, 0x00ff, 0x01ff, 0x03ff, 0x07ff,
                                           0x0fff, 0x1fff, 0x3fff, 0x7fff, 0xffff};

// Transmission order of the code-length code's lengths.
constexpr std::array<unsigned, 19> border = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5,
                                             11, 4, 12, 3, 13, 2, 14, 1, 15};

// Length bases and extra bits of literal/length codes 257..287; 286 and 287
// exist only in fixed blocks and are marked invalid.
constexpr std::array<ush, 31> cplens = {3,  4,  5,  6,  7,  8,  9,  10,  11,  13,  15,
                                        17, 19, 23, 27, 31, 35, 43, 51,  59,  67,  83,
                                        99, 115, 131, 163, 195, 227, 258, 0, 0};
constexpr std::array<ush, 31> cplext = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2,  2,  2, 2,
                                        3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0, INVALID, INVALID};
// Distance bases and extra bits of distance codes 0..29.
constexpr std::array<ush, 30> cpdist = {1,    2,    3,    4,    5,    7,     9,     13,
                                        17,   25,   33,   49,   65,   97,    129,   193,
                                        257,  385,  513,  769,  1025, 1537,  2049,  3073,
                                        4097, 6145, 8193, 12289, 16385, 24577};
constexpr std::array<ush, 30> cpdext = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                        6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};

// Each base follows from the previous one and its extra bits; 258 is the
// one length with its own code.
constexpr bool bases_consistent() {
    for (unsigned i = 0; i + 1 < 28; i++) {
        if (cplens[i + 1] != cplens[i] + (1u << cplext[i])) return false;
    }
    for (unsigned i = 0; i + 1 < 30; i++) {
        if (cpdist[i + 1] != cpdist[i] + (1u << cpdext[i])) return false;
    }
    return cplens[28] == 258 && cpdist[29] + (1u << cpdext[29]) - 1 == WSIZE;
}
static_assert(bases_consistent());

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
    unsigned peek(unsigned n) const { return static_cast<unsigned>(b) & mask_bits[n]; }

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

// Advances the window position after `n` bytes were put there; a full window
// is flushed and decoding continues at position 0.
inline unsigned advance(unsigned w) {
    if (w == WSIZE) {
        outcnt = w;
        flush_window();
        return 0;
    }
    return w;
}

// Resolves one symbol: walks from the first-level entry through sub-tables.
// Returns the final entry with its bits dropped, or null for an invalid code
// (or an empty table, which has no entry to look at).
inline const huft *decode_symbol(Bits &s, const huft *table, unsigned bits) {
    if (table == nullptr) return nullptr;
    s.need(bits);
    const huft *t = table + s.peek(bits);
    unsigned e;
    while ((e = t->e) > LITERAL) {
        if (e == INVALID) return nullptr;
        s.drop(t->b);
        e -= 16;
        s.need(e);
        t = t->v.t + s.peek(e);
    }
    s.drop(t->b);
    return t;
}

}  // namespace

// ---- table builder ----------------------------------------------------------------
// huft_build: decoding tables for symbols 0..n-1.
//   b  code length of each symbol, 0 = no code. Comes from the input stream
//      (dynamic blocks) and is therefore untrusted: over-subscription is
//      detected and lengths above 16 are refused.
//   n  number of symbols; set by the caller, at most 288 (more: result 2).
//   s  symbols below s are simple: below 256 a literal, 256 end of block.
//   d  base (length or distance) of each symbol from s up, indexed sym - s.
//      A constant list; may be null when n <= s.
//   e  its kind, from the low byte: the number of extra bits, or INVALID for
//      a symbol that must not occur. Same indexing and nullability as d.
//   t  receives the first-level table, or null when there are no tables.
//   m  in: wished first-level bits; out: the bits used (0 for no table).
//      The decoder wishes 5, 6, 7 or 9 bits, so that no code needs more
//      than one level below a full first level it can reach. Much smaller
//      wishes (4 or less) can give wrong sub-tables for long codes.
// Result:
//   HUFT_COMPLETE (0)    complete code (a single code of length 1 counts as
//                        complete), or no code at all: every length 0, *t null
//                        and *m 0
//   HUFT_INCOMPLETE (1)  incomplete code; the tables are built, valid (the
//                        unused codes decode as INVALID) and must be released
//                        by the caller
//   BAD_TABLE (2)        over-subscribed code, a length above 16 or n above
//                        288; no tables
//   NO_MEMORY (3)        out of memory; no tables
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
    int l = *m;  // first-level bits, between k and g
    if (l < static_cast<int>(k)) l = static_cast<int>(k);
    if (l > static_cast<int>(g)) l = static_cast<int>(g);
    *m = l;

    // Code space: y counts the free codes at the current length.
    int y = 1 << k;
    for (unsigned j = k; j < g; j++, y <<= 1) {
        y -= static_cast<int>(c[j]);
        if (y < 0) return BAD_TABLE;
    }
    y -= static_cast<int>(c[g]);
    if (y < 0) return BAD_TABLE;
    const unsigned free_codes = static_cast<unsigned>(y);

    // Symbols sorted by length, in symbol order within a length.
    std::array<unsigned, N_MAX> v{};
    std::array<unsigned, BMAX + 2> x{};  // x[len]: where the symbols of that length start in v
    for (unsigned j = 1; j <= BMAX; j++) x[j + 1] = x[j] + c[j];
    for (unsigned i = 0; i < n; i++) {
        if (b[i] != 0) v[x[b[i]]++] = i;
    }
    const unsigned nv = n - c[0];  // symbols that have a code
    c[g] += free_codes;            // the free codes are placed last, as INVALID entries

    // Canonical codes in increasing length, held bit-reversed in i.
    std::array<huft *, BMAX + 1> u{};          // table of each level
    std::array<unsigned, BMAX + 1> usize{};    // its number of entries
    std::array<unsigned, BMAX + 1> prefix{};   // low w bits of i that lead to it
    huft *first = nullptr;                     // first-level table
    huft *last_front = nullptr;                // front entry of the newest array
    int h = -1;                                // current level
    int w = -l;                                // bits decoded before the current level
    unsigned i = 0;
    unsigned p = 0;  // next symbol of v
    huft r{};        // entry being placed; keeps its value for INVALID entries

    for (unsigned len = k; len <= g; len++) {
        for (unsigned a = c[len]; a-- > 0;) {
            // Open deeper tables until this code fits.
            while (static_cast<int>(len) > w + l) {
                h++;
                w += l;
                const unsigned uw = static_cast<unsigned>(w);
                const unsigned z = std::min(static_cast<unsigned>(l), g - uw);
                unsigned j = len - uw;
                unsigned f = 1u << j;
                if (f > a + 1) {  // too few codes of this length for a (len-w)-bit table
                    f -= a + 1;
                    j++;
                    while (j < z) {
                        f <<= 1;
                        if (f <= c[uw + j]) break;
                        f -= c[uw + j];
                        j++;
                    }
                }
                const unsigned size = 1u << j;
                huft *block = static_cast<huft *>(std::calloc(size + 1, sizeof(huft)));
                if (block == nullptr) {
                    huft_free(first);
                    return NO_MEMORY;
                }
                for (unsigned q = 1; q <= size; q++) block[q].e = INVALID;  // never left unset
                block[0].v.t = nullptr;
                if (last_front != nullptr) {
                    last_front->v.t = block + 1;
                } else {
                    first = block + 1;
                }
                last_front = block;
                u[h] = block + 1;
                usize[h] = size;
                if (h > 0) {
                    prefix[h] = i & ((1u << uw) - 1);
                    const unsigned at = i >> (uw - static_cast<unsigned>(l));
                    if (at >= usize[h - 1]) {  // cannot happen for a consistent code
                        huft_free(first);
                        return BAD_TABLE;
                    }
                    huft link{};
                    link.b = static_cast<uch>(l);
                    link.e = static_cast<uch>(16 + j);
                    link.v.t = u[h];
                    u[h - 1][at] = link;
                }
            }

            const unsigned uw = static_cast<unsigned>(w);
            r.b = static_cast<uch>(len - uw);
            if (p >= nv) {
                r.e = INVALID;
            } else {
                const unsigned sym = v[p++];
                if (sym < s) {
                    r.e = static_cast<uch>(sym < 256 ? LITERAL : END_OF_BLOCK);
                    r.v.n = static_cast<ush>(sym);
                } else {
                    r.e = static_cast<uch>(e[sym - s] & 0xff);
                    r.v.n = d[sym - s];
                }
            }
            for (unsigned q = i >> uw; q < usize[h]; q += 1u << (len - uw)) u[h][q] = r;

            // Next code in bit-reversed counting.
            unsigned bit = 1u << (len - 1);
            while (i & bit) {
                i ^= bit;
                bit >>= 1;
            }
            i ^= bit;

            // Back up to the table that the new prefix belongs to.
            while ((i & ((1u << static_cast<unsigned>(w)) - 1)) != prefix[h]) {
                h--;
                w -= l;
            }
        }
    }

    *t = first;
    return free_codes != 0 && g != 1 ? HUFT_INCOMPLETE : HUFT_COMPLETE;
}

// Releases a table set built by huft_build by following the front-entry chain.
int huft_free(huft *t) {
    while (t != nullptr) {
        huft *front = t - 1;
        huft *next = front->v.t;
        std::free(front);
        t = next;
    }
    return 0;
}

// ---- fast loop ---------------------------------------------------------------------------
namespace {

// Packed table entry of the fast loop: one 32-bit word per index.
//   bits 0-7    bits the whole symbol takes: its code plus, for a length or
//               distance, the extra bits that follow it
//   bits 8-11   bits of the code alone
//   bits 12-15  kind: BASE (a length or distance base, or a literal), or one
//               of END_CODE, BAD_CODE, LONG_CODE: a code longer than the
//               packed table's index, resolved through huft_build's tables
//               (walk_code)
//   bits 16-30  base, or the literal
//   bit 31      set for a literal
// Literals test as negative, every kind but BASE as a nonzero kind field.
enum : uint32_t { BASE = 0, END_CODE = 1, BAD_CODE = 2, LONG_CODE = 3 };
constexpr uint32_t LITERAL_FLAG = 0x80000000u;
constexpr uint32_t KIND_FIELD = 0xf000u;
constexpr uint32_t pack(uint32_t kind, unsigned code_bits, unsigned extra, unsigned value) {
    return value << 16 | kind << 12 | code_bits << 8 | (code_bits + extra);
}
constexpr uint32_t BAD_ENTRY = pack(BAD_CODE, 0, 0, 0);
constexpr uint32_t LONG_ENTRY = pack(LONG_CODE, 0, 0, 0);
// The packed entry of a terminal huft entry (e <= LITERAL or INVALID)
// reached after code_bits bits.
constexpr uint32_t pack_huft(unsigned e, unsigned code_bits, unsigned n) {
    if (e == LITERAL) return LITERAL_FLAG | pack(BASE, code_bits, 0, n);
    if (e == END_OF_BLOCK) return pack(END_CODE, code_bits, 0, 0);
    if (e > MAX_EXTRA) return BAD_ENTRY;
    return pack(BASE, code_bits, e, n);
}
constexpr unsigned total_bits(uint32_t p) { return p & 0xff; }
constexpr unsigned code_bits(uint32_t p) { return (p >> 8) & 0xf; }
constexpr uint32_t kind_of(uint32_t p) { return (p & KIND_FIELD) >> 12; }
constexpr unsigned value_of(uint32_t p) { return (p >> 16) & 0x7fff; }
static_assert(N_MAX < 0x8000 && 24577 < 0x8000 && 258 < 0x8000);

constexpr unsigned FAST_LBITS = 10;  // index bits of the literal/length packed table
constexpr unsigned FAST_DBITS = 8;   // index bits of the distance packed table
std::array<uint32_t, 1u << FAST_LBITS> fast_lit;   // 4 KiB
std::array<uint32_t, 1u << FAST_DBITS> fast_dist;  // 1 KiB

// Input bytes the fast loop wants in inbuf before a round: two word refills
// of at most 7 bytes plus an 8-byte load on 64-bit builds, four of at most 3
// bytes plus a 4-byte load on 32-bit ones.
constexpr unsigned FAST_IN = 16;
static_assert(FAST_IN >= (BITBUF_BITS < 64 ? 4 * 3 + 4 : 7 + 8));
// Bits a match takes: length code and extra bits, distance code and extra
// bits; a refill leaves at least BITBUF_BITS - 8.
static_assert(BITBUF_BITS == 32 || 15 + 5 + 15 + MAX_EXTRA <= BITBUF_BITS - 8);
static_assert(15 + 5 <= 32 - 8 && BMAX <= 32 - 8 && MAX_EXTRA <= 32 - 8);

// The code at the bottom of b (at least BMAX valid bits) resolved through a
// table set of huft_build whose first level takes `bits` bits: its packed
// entry; BAD_ENTRY for a code that must not occur or a missing table.
uint32_t walk_code(const huft *t, unsigned bits, bitbuf_t b) {
    if (t == nullptr) return BAD_ENTRY;
    unsigned used = 0;
    t += static_cast<unsigned>(b) & mask_bits[bits];
    unsigned e;
    while ((e = t->e) > LITERAL) {
        if (e == INVALID) return BAD_ENTRY;
        used += t->b;
        t = t->v.t + (static_cast<unsigned>(b >> used) & mask_bits[e - 16]);
    }
    return pack_huft(e, used + t->b, t->v.n);
}

// Fills the packed table `fast` (2^fast_bits entries) from the table set t of
// first-level bits `bits`: entries whose code fits the index are resolved,
// longer ones (and all of them when bits > fast_bits) are LONG_ENTRY, and a
// missing table makes every entry BAD_ENTRY.
void build_fast(const huft *t, unsigned bits, uint32_t *fast, unsigned fast_bits) {
    const unsigned size = 1u << fast_bits;
    if (t == nullptr || bits > fast_bits) {
        std::fill(fast, fast + size, t == nullptr ? BAD_ENTRY : LONG_ENTRY);
        return;
    }
    const unsigned step = 1u << bits;
    for (unsigned i = 0; i < step; i++) {
        const huft &h = t[i];
        if (h.e <= LITERAL || h.e == INVALID) {  // a whole code within the first level
            const uint32_t p = pack_huft(h.e, h.b, h.v.n);
            for (unsigned j = i; j < size; j += step) fast[j] = p;
            continue;
        }
        const huft *sub = h.v.t;
        const unsigned sub_mask = mask_bits[h.e - 16];
        for (unsigned j = i; j < size; j += step) {
            const huft &x = sub[(j >> bits) & sub_mask];
            // x is reached by fast_bits of index only if its own bits fit.
            const bool fits = x.e <= LITERAL && h.b + x.b <= fast_bits;
            fast[j] = fits ? pack_huft(x.e, h.b + x.b, x.v.n) : LONG_ENTRY;
        }
    }
}

// Copies the match of length n (3..258) at distance dist to window[w], the
// source reduced modulo WSIZE; w + n <= WSIZE, and 32 bytes more still lie
// inside the window array. The bytes after the match are old history that
// later distances may still reach: where the copy goes in 16-byte pieces and
// runs over the end of the match, the 16 bytes after it are saved first and
// put back afterwards.
inline void copy_match(unsigned w, unsigned dist, unsigned n) {
    uch *dst = window + w;
    const unsigned from = (w - dist) & (WSIZE - 1);
    const uch *src = window + from;
    if (from == w) return;  // distance WSIZE: every byte is copied onto itself
    // 16-byte pieces read only bytes already final: a source 16 or more bytes
    // behind the destination, or one at least 16 bytes ahead of it (old
    // history at the top of the window) that does not wrap.
    if (from < w ? dist >= 16 : from + n <= WSIZE && from - w >= 16) {
        uch after[16];
        std::memcpy(after, dst + n, 16);
        for (unsigned i = 0; i < n; i += 16) std::memcpy(dst + i, src + i, 16);
        std::memcpy(dst + n, after, 16);
    } else if (dist == 1) {
        std::memset(dst, window[from], n);
    } else {
        // Overlapping copies repeat the newest bytes; a source that wraps
        // goes on at window[0]. Byte by byte, in increasing order.
        unsigned f = from;
        for (unsigned i = 0; i < n; i++) {
            dst[i] = window[f];
            f = (f + 1) & (WSIZE - 1);
        }
    }
}

enum class FastEnd { handover, end_of_block, invalid };

// Window room the fast loop wants before a round (up to three literals or
// one match); copy_match may also look 16 bytes past a match's end, which
// stays inside the window array.
constexpr unsigned FAST_OUT = MAX_MATCH;
// Three literals in a row and a lookup after them fit one refill.
static_assert(BITBUF_BITS < 64 || 4 * FAST_LBITS <= BITBUF_BITS - 8);
static_assert(WSIZE - FAST_OUT + MAX_MATCH + 16 + 16 <= sizeof window);

// The fast loop of inflate_codes (see the head of this unit): decodes while
// the input buffer and the window have room, then gives unused whole bytes
// back and returns. handover leaves the next symbol to the byte-at-a-time
// decoder; the window may then be full (w == WSIZE), not yet flushed.
//
// Each round starts with the next code's entry already looked up (after a
// refill), so that the lookup is under way while the previous match is
// copied. inptr and insize live in locals here: stores into the window
// could otherwise alias them and force them through memory.
[[gnu::always_inline]] inline FastEnd fast_loop(Bits &s, unsigned &w, const huft *tl, const huft *td, unsigned bl,
                                                unsigned bd) {
    if (!s.give_back()) return FastEnd::handover;
    if (insize - inptr < FAST_IN || w > WSIZE - FAST_OUT) return FastEnd::handover;
    constexpr unsigned lmask = (1u << FAST_LBITS) - 1, dmask = (1u << FAST_DBITS) - 1;
    bitbuf_t b = s.b;
    unsigned k = s.k;
    unsigned in = inptr;
    const unsigned in_end = insize;
    uch *const win = window;
    const uint32_t *const lit = fast_lit.data();
    const uint32_t *const dtab = fast_dist.data();
    unsigned out = w;
    // Word refill: needs sizeof(bitbuf_t) bytes from `in` below in_end (the
    // first one lowest: x86 is little-endian); adds the whole bytes that fit,
    // leaving at least BITBUF_BITS - 8 valid bits. Bits of the next, partly
    // fitting byte land above k; they equal what the next refill ORs in.
    const auto refill = [&] {
        bitbuf_t word;
        std::memcpy(&word, inbuf + in, sizeof word);
        b |= word << k;
        in += (BITBUF_BITS - 1 - k) >> 3;
        k |= BITBUF_BITS - 8;
    };
    const auto drop = [&](unsigned n) {
        b >>= n;
        k -= n;
    };
    // Base plus extra bits of a length or distance entry not yet dropped.
    const auto base_plus_extra = [&](uint32_t p) {
        return value_of(p) + ((static_cast<unsigned>(b) & ((1u << total_bits(p)) - 1)) >> code_bits(p));
    };
    const auto put_literal = [&](uint32_t p) {
        drop(total_bits(p));
        win[out++] = static_cast<uch>(value_of(p));
    };

    FastEnd result = FastEnd::handover;
    refill();
    uint32_t p = lit[b & lmask];
    // Each round starts with the next code's entry looked up. Where the bits
    // allow, a refill comes after a lookup and before its bits are dropped,
    // which keeps its memory access off the chain from one lookup to the
    // next; bits left are noted at each step. A round takes at most two
    // refills on 64-bit builds, four on 32-bit ones (FAST_IN), and puts out
    // at most MAX_MATCH bytes (FAST_OUT).
    while (in_end - in >= FAST_IN && out <= WSIZE - FAST_OUT) {
        refill();  // >= 56 bits (64-bit builds), >= 24 (32-bit ones)
        if (p & LITERAL_FLAG) {
            put_literal(p);
            if constexpr (BITBUF_BITS >= 64) {
                // >= 41 bits; the packed table's literals take at most 10 each.
                p = lit[b & lmask];
                if (p & LITERAL_FLAG) {
                    put_literal(p);  // >= 31 bits
                    p = lit[b & lmask];
                    if (p & LITERAL_FLAG) {
                        put_literal(p);  // >= 21 bits
                        p = lit[b & lmask];
                    }
                }
            } else {
                p = lit[b & lmask];  // >= 14 bits
            }
            continue;
        }
        if (p & KIND_FIELD) {
            if (kind_of(p) == LONG_CODE) {
                p = walk_code(tl, bl, b);  // a refill came after the last drop
                if (p & LITERAL_FLAG) {
                    put_literal(p);
                    if constexpr (BITBUF_BITS < 64) refill();
                    p = lit[b & lmask];
                    continue;
                }
            }
            if (kind_of(p) == END_CODE) {
                drop(total_bits(p));
                result = FastEnd::end_of_block;
                break;
            }
            if (kind_of(p) == BAD_CODE) {
                result = FastEnd::invalid;
                break;
            }
        }

        const unsigned n = base_plus_extra(p);
        drop(total_bits(p));  // 64-bit: >= 36 bits
        if constexpr (BITBUF_BITS < 64) refill();
        p = dtab[b & dmask];
        if constexpr (BITBUF_BITS >= 64) refill();  // >= 56 bits
        if (p & KIND_FIELD) {
            if (kind_of(p) == LONG_CODE) p = walk_code(td, bd, b);
            if (kind_of(p) != BASE || (p & LITERAL_FLAG)) {
                result = FastEnd::invalid;
                break;
            }
        }
        unsigned dist;
        if constexpr (BITBUF_BITS >= 64) {
            dist = base_plus_extra(p);
            drop(total_bits(p));  // >= 28 bits
        } else {
            // Code and extra bits may exceed what one refill gives.
            const unsigned extra = total_bits(p) - code_bits(p);
            drop(code_bits(p));
            refill();
            dist = value_of(p) + (static_cast<unsigned>(b) & ((1u << extra) - 1));
            drop(extra);
            refill();
        }
        p = lit[b & lmask];  // the next round's code, looked up before the copy
        copy_match(out, dist, n);
        out += n;
    }
    inptr = in;
    s.b = b;
    s.k = k;
    s.give_back();  // every byte the loop holds is still in inbuf
    w = out;
    return result;
}

// The fast loop compiled for every processor, and again for those with BMI2,
// whose shifts by a register count (shlx, shrx) and bit-field clear (bzhi)
// leave the flags alone and take any register for the count, which shortens
// the chains from one lookup to the next. Same source, same results.
FastEnd fast_codes_portable(Bits &s, unsigned &w, const huft *tl, const huft *td, unsigned bl, unsigned bd) {
    return fast_loop(s, w, tl, td, bl, bd);
}
#if defined(__x86_64__) || defined(__i386__)
__attribute__((target("bmi2"))) FastEnd fast_codes_bmi2(Bits &s, unsigned &w, const huft *tl, const huft *td,
                                                       unsigned bl, unsigned bd) {
    return fast_loop(s, w, tl, td, bl, bd);
}

bool have_bmi2() {
    static const bool yes = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("bmi2");
    }();
    return yes;
}
#endif

using FastCodes = FastEnd (*)(Bits &, unsigned &, const huft *, const huft *, unsigned, unsigned);
FastCodes pick_fast_codes() {
#if defined(__x86_64__) || defined(__i386__)
    if (!inflate_portable_only && have_bmi2()) return fast_codes_bmi2;
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
    const unsigned ubl = static_cast<unsigned>(bl), ubd = static_cast<unsigned>(bd);
    build_fast(tl, ubl, fast_lit.data(), FAST_LBITS);
    build_fast(td, ubd, fast_dist.data(), FAST_DBITS);
    const FastCodes fast_codes = pick_fast_codes();

    for (;;) {
        if (insize - inptr >= FAST_IN && w <= WSIZE - FAST_OUT) {
            const FastEnd end = fast_codes(s, w, tl, td, ubl, ubd);
            if (end != FastEnd::handover) {
                store_bits(s);
                outcnt = w;
                return end == FastEnd::end_of_block ? BLOCK_OK : BAD_DATA;
            }
            w = advance(w);
        }

        // One symbol, a byte of input at a time.
        const huft *t = decode_symbol(s, tl, ubl);
        if (t == nullptr) break;
        unsigned e = t->e;
        if (e == LITERAL) {
            window[w++] = static_cast<uch>(t->v.n);
            w = advance(w);
            continue;
        }
        if (e == END_OF_BLOCK) {
            store_bits(s);
            outcnt = w;
            return BLOCK_OK;
        }

        s.need(e);
        unsigned n = t->v.n + s.peek(e);  // match length
        s.drop(e);

        t = decode_symbol(s, td, ubd);
        if (t == nullptr) break;
        e = t->e;
        s.need(e);
        unsigned d = w - t->v.n - s.peek(e);  // source position, reduced below
        s.drop(e);

        // Copy in pieces that run past neither end of the window. Disjoint
        // ranges go in one block; an overlap must repeat the newest bytes, so
        // it goes byte by byte in increasing order.
        do {
            d &= WSIZE - 1;
            const unsigned piece = std::min({n, WSIZE - d, WSIZE - w});
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
            const unsigned piece = std::min({n, insize - inptr, WSIZE - w});
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
    for (unsigned i = 0; i < 144; i++) l[i] = 8;
    for (unsigned i = 144; i < 256; i++) l[i] = 9;
    for (unsigned i = 256; i < 280; i++) l[i] = 7;
    for (unsigned i = 280; i < N_MAX; i++) l[i] = 8;

    int bl = fixed_lbits;
    int r = huft_build(l.data(), N_MAX, 257, cplens.data(), cplext.data(), &live_tl, &bl);
    if (r != HUFT_COMPLETE) return release_tables(r);

    for (unsigned i = 0; i < 30; i++) l[i] = 5;
    int bd = fixed_dbits;
    r = huft_build(l.data(), 30, 0, cpdist.data(), cpdext.data(), &live_td, &bd);
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
    if (nl > 286 || nd > 30) return BAD_DATA;

    std::array<unsigned, LL_MAX> ll{};
    for (unsigned j = 0; j < nb; j++) {
        s.need(3);
        ll[border[j]] = s.peek(3);
        s.drop(3);
    }
    for (unsigned j = nb; j < 19; j++) ll[border[j]] = 0;

    int bl = clbits;
    int r = huft_build(ll.data(), 19, 19, nullptr, nullptr, &live_tl, &bl);
    if (r != HUFT_COMPLETE) return release_tables(r);  // an incomplete one is BAD_DATA
    if (live_tl == nullptr) return BAD_DATA;  // no code-length code: not even the first length can be read

    // Literal/length and distance lengths in one run, so repeats may cross
    // from one to the other.
    const unsigned n = nl + nd;
    const unsigned ubl = static_cast<unsigned>(bl);
    unsigned prev_len = 0;
    for (unsigned i = 0; i < n;) {
        // The code-length code has no sub-tables (its codes are at most 7
        // bits, clbits), but a single code of length 1 leaves the other 1-bit
        // pattern INVALID: checked like every other lookup.
        s.need(ubl);
        const huft *t = live_tl + s.peek(ubl);
        if (t->e == INVALID) return release_tables(BAD_DATA);
        s.drop(t->b);
        const unsigned sym = t->v.n;
        unsigned count;
        unsigned len;
        if (sym < 16) {
            ll[i++] = prev_len = sym;
            continue;
        } else if (sym == 16) {
            s.need(2);
            count = 3 + s.peek(2);
            s.drop(2);
            len = prev_len;
        } else if (sym == 17) {
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
    case 0:
        return inflate_stored();
    case 1:
        return inflate_fixed();
    case 2:
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
