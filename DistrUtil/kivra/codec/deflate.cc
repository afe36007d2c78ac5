// deflate.cc - the match finder: turns the input into literals and
// back-references and hands them to the block emitter (trees.cc).
//
// The input is read straight into the 64 KiB `window`. Strings of three bytes
// are hashed into 32768 chains kept in `prev`: its low half holds, for every
// window position p, the previous position with the same hash (index
// p & WMASK), its high half (`head`) the most recent position of each hash.
// Position 0 doubles as "no position", so the string at window index 0 is
// never a match source. Once the current position passes WSIZE + MAX_DIST
// the upper half slides down and every chain entry is rebased; entries that
// would point into the discarded half become 0. The lazy levels keep their
// links in hash_links (below) instead, and leave prev's low half alone: it
// is neither written nor read nor slid there.
//
// Levels 4..9 use lazy evaluation: a match is only emitted once the match
// starting one byte later has been found not to be longer. Levels 1..3 take
// every match at once. The search parameters come from configuration_table.
//
// The lazy loop (lazy_parse) has two users: deflate(), which hands every
// symbol to the block emitter, and span_parse, which a builder thread runs
// over a piece of the input (parallel.cc): it collects the symbols and
// reports its loop tops. replay_symbols then hands those symbols to the block
// emitter on the member's own thread, whose window follows deflate()'s
// (refill without rebasing chains it does not keep). So the window, the chains
// and the parse state are thread_local: each builder thread has its own (the
// fixed-offset TLS access costs the one-thread parse nothing measurable).
// Nothing here allocates.
//
// Speed, with every match unchanged. longest_match spends its time walking
// chains, and nearly every candidate fails on the bytes around best_len.
// Three techniques make the walk cheaper without changing which match wins
// (the same candidates win in the same order, so match_start is the same):
//  - Word-wide work: the "ends agree" test loads the two bytes ending at
//    best_len and the first two as 16-bit words (the same four byte
//    comparisons), and the compare XORs 8 (4 on 32-bit x86) bytes at a time
//    and counts trailing zero bits to find the first differing byte. It
//    still stops at MAX_MATCH; the at most 7 bytes it reads past offset
//    MAX_MATCH cannot change the result and lie in the window's slack.
//  - Key chains (lazy levels 4..9, where every position is inserted): each
//    string is also linked to the previous string whose first KEY_LEN bytes
//    hash alike, and carries its rank in its hash chain (how many strings
//    were inserted with its hash before it). Once best_len reaches
//    KEY_LEN - 1, only a candidate whose first KEY_LEN bytes all equal the
//    current string's can win: a difference at offset 0 or 1 fails the
//    "ends agree" test, one at offsets 3..KEY_LEN-1 ends the match no longer
//    than best_len, and on one hash chain equal bytes 0 and 1 imply an equal
//    byte 2 (for given bytes 0 and 1 the hash determines byte 2). So the
//    walk jumps along the key chain to the next such candidate and charges
//    chain_length with the rank difference, which is exactly the number of
//    hash-chain links the plain walk would have followed; it stops where
//    the plain walk would stop (a candidate at or below the distance limit,
//    or chain_length used up). A candidate whose key equals the current
//    string's has the same 3-byte hash, so it lies on the current hash chain
//    and the ranks are comparable; one whose key merely hashes alike is
//    passed over. A string enters its key chain KEY_LAG insertions after
//    its hash-chain insertion, once its KEY_LEN bytes are final input; the
//    newest KEY_LAG candidates always come from the hash chain.
//  - Entries ahead: both walks are chains of dependent loads. A hash-chain
//    entry also stores the entry two steps on, a key-chain entry the ones
//    two and three steps on, so that the walk knows the next entries early
//    and their loads overlap instead of waiting for each other. Insertions
//    prefetch the heads of the string two positions on.
// The chain tables of the lazy levels (about 0.6 MiB in all) are rebased
// by a slide like head, four 16-bit lanes per 64-bit word (two per
// 32-bit word). The golden digests in the tests, the cross-build test and
// the digest in bench/ pin the compressed bytes: a change that alters them
// fails there.
#include "parallel.h"
#include "stream.h"

#include <bit>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace {
static_assert(std::endian::native == std::endian::little, "the word compares assume little-endian loads");
constexpr unsigned HASH_BITS = 15;
constexpr unsigned HASH_SIZE = 1u << HASH_BITS;
constexpr unsigned HASH_MASK = HASH_SIZE - 1;
constexpr unsigned WMASK = WSIZE - 1;
constexpr unsigned H_SHIFT = 5;  // three updates shift a byte out of the 15-bit hash
constexpr unsigned NIL = 0;      // end of a chain

constexpr unsigned KEY_LEN = 8;   // bytes the strings of one key chain share
constexpr unsigned KEY_LAG = 5;   // a string enters its key chain this many insertions late
constexpr unsigned KEY_HASH_BITS = 15;
constexpr unsigned KEY_HASH_SIZE = 1u << KEY_HASH_BITS;
static_assert(KEY_LEN <= KEY_LAG + MIN_MATCH, "a key must end within the bytes its lagged insertion has seen");

// Lazy levels only. Per window position (index p & WMASK) unless noted;
// positions and chain ends as in prev and head. The hash chains, in place of
// prev's low half, with more per position, side by side so that one cache
// line serves a step of the walk and an insertion.
struct hash_link {
    ush prev;    // the previous position with the same hash, as prev[] at levels 1..3
    ush prev2;   // prev of prev: the entry two steps on
    ush rank;    // rank of the string in its hash chain: its prev's rank + 1 (mod 2^16)
    ush unused;  // pads the entry to 8 bytes
};
thread_local constinit hash_link hash_links[WSIZE]{};
// The key chains: a position's entry holds the previous position in its key
// chain, the next two after that, and a copy of its hash_link rank.
struct key_link {
    ush prev;
    ush prev2;  // prev of prev
    ush prev3;  // prev of prev2
    ush rank;   // last: fill_window rebases the three positions before it as one word
};
thread_local constinit key_link key_links[WSIZE]{};
thread_local constinit ush key_head[KEY_HASH_SIZE];  // per key hash: the newest position

// Unaligned little-endian loads; memcpy keeps them free of aliasing and
// alignment trouble and compiles to one move.
inline uint16_t load16(const uch *p) {
    uint16_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
inline uint32_t load32(const uch *p) {
    uint32_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// The word the compare steps by: the machine's register width.
using word_t = std::conditional_t<sizeof(void *) >= 8, uint64_t, uint32_t>;
inline word_t load_word(const uch *p) {
    word_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// Length of the common run of scan and match, counted from offset 0 but
// compared from offset `from` on (the bytes before it are known equal):
// the first differing offset, or MAX_MATCH if none comes before it. Reads
// up to sizeof(word_t) - 1 bytes past offset MAX_MATCH.
inline unsigned match_run(const uch *scan, const uch *match, unsigned from) {
    for (unsigned len = from; len < MAX_MATCH; len += sizeof(word_t)) {
        word_t diff = load_word(scan + len) ^ load_word(match + len);
        if (diff != 0) {
            len += static_cast<unsigned>(std::countr_zero(diff)) / 8;
            return len < MAX_MATCH ? len : MAX_MATCH;
        }
    }
    return MAX_MATCH;
}

// Slides positions held in the 16-bit lanes of a word down by WSIZE; a
// position in the discarded half becomes NIL. With WSIZE = 0x8000 that is
// "keep the low 15 bits if bit 15 is set, else 0", done for all lanes at once.
static_assert(WSIZE == 0x8000);
template <typename W>
inline W rebase_lanes(W x) {
    constexpr W lane_ones = static_cast<W>(0x0001000100010001ull);  // bit 0 of each lane
    W in_upper = (x >> 15) & lane_ones;
    return x & static_cast<W>(0x7fff * lane_ones) & static_cast<W>(in_upper * 0xffff);
}
inline void rebase_positions(ush *table, unsigned n) {
    static_assert(sizeof(word_t) % sizeof(ush) == 0);
    for (unsigned k = 0; k < n; k += sizeof(word_t) / sizeof(ush)) {
        word_t w;
        std::memcpy(&w, table + k, sizeof w);
        w = rebase_lanes(w);
        std::memcpy(table + k, &w, sizeof w);
    }
}

// rebase_positions for an array of 8-byte entries of four 16-bit lanes
// whose first `positions` lanes hold positions; the other lanes stay.
template <typename Entry>
inline void rebase_links(Entry (&table)[WSIZE], unsigned positions) {
    static_assert(sizeof(Entry) == 8);
    const uint64_t moved = ~0ull >> (64 - 16 * positions);
    if constexpr (sizeof(word_t) == 8) {
        for (Entry &e : table) {
            uint64_t w;
            std::memcpy(&w, &e, sizeof w);
            w = (rebase_lanes(w) & moved) | (w & ~moved);
            std::memcpy(&e, &w, sizeof w);
        }
    } else {
        const uint32_t moved0 = static_cast<uint32_t>(moved), moved1 = static_cast<uint32_t>(moved >> 32);
        for (Entry &e : table) {
            uint32_t w[2];
            std::memcpy(w, &e, sizeof w);
            w[0] = (rebase_lanes(w[0]) & moved0) | (w[0] & ~moved0);
            w[1] = (rebase_lanes(w[1]) & moved1) | (w[1] & ~moved1);
            std::memcpy(&e, w, sizeof w);
        }
    }
}

// Equal keys hash alike; the mixing only decides how often unequal keys
// share a chain.
inline unsigned key_hash(const uch *p) {
    uint32_t x = ((load32(p) * 0x9E3779B1u) ^ load32(p + 4)) * 0x85EBCA77u;
    return x >> (32 - KEY_HASH_BITS);
}
inline bool same_key(const uch *a, const uch *b) { return std::memcmp(a, b, KEY_LEN) == 0; }

// The hash-chain heads, behind the links of levels 1..3 in prev.
inline ush *heads() { return prev + WSIZE; }

inline void update_hash(unsigned c) { ins_h = ((ins_h << H_SHIFT) ^ c) & HASH_MASK; }

// Inserts the string at s into its chain and returns the previous head.
inline unsigned insert_string(unsigned s) {
    update_hash(window[s + MIN_MATCH - 1]);
    unsigned match_head = heads()[ins_h];
    prev[s & WMASK] = static_cast<ush>(match_head);
    heads()[ins_h] = static_cast<ush>(s);
    return match_head;
}

// insert_string for the lazy levels: links the string through its
// hash_link instead of prev and moves the string KEY_LAG positions back
// into its key chain. Inserting s read up to s + 2, so the bytes up to
// s + 2 are final input (or, after the end of input, bytes that no longer
// change); the KEY_LEN bytes of s - KEY_LAG end there. A prev2, prev3 or
// rank taken from an entry that a newer position has since reused is wrong,
// but it only ever follows an entry beyond MAX_DIST, where every walk stops.
inline unsigned insert_string_keyed(unsigned s) {
    update_hash(window[s + MIN_MATCH - 1]);
    unsigned match_head = heads()[ins_h];
    heads()[ins_h] = static_cast<ush>(s);
    const hash_link &m = hash_links[match_head & WMASK];
    hash_links[s & WMASK] = {static_cast<ush>(match_head), m.prev, static_cast<ush>(m.rank + 1), 0};
    if (s >= KEY_LAG) {
        unsigned k = s - KEY_LAG;
        unsigned h = key_hash(window + k);
        unsigned before = key_head[h];
        const key_link &b = key_links[before & WMASK];
        key_links[k & WMASK] = {static_cast<ush>(before), b.prev, b.prev2, hash_links[k & WMASK].rank};
        key_head[h] = static_cast<ush>(k);
    }
    // Insertions come in position order: ask for the table entries of the
    // one PREFETCH_AHEAD positions on while this one proceeds. Only a hint;
    // the addresses are in bounds whatever the bytes.
    {
        constexpr unsigned PREFETCH_AHEAD = 2;
        const uch *p = window + s + PREFETCH_AHEAD;
        unsigned h = ((((static_cast<unsigned>(p[0]) << H_SHIFT) ^ p[1]) << H_SHIFT) ^ p[2]) & HASH_MASK;
        __builtin_prefetch(&heads()[h]);
        if (s + PREFETCH_AHEAD >= KEY_LAG) __builtin_prefetch(&key_head[key_hash(p - KEY_LAG)]);
    }
    return match_head;
}

// Ends the current block at strstart; its bytes are still in the window
// only while block_start is not negative.
inline ulg flush_current_block(int eof) {
    const char *buf = block_start >= 0 ? reinterpret_cast<const char *>(window) + block_start : nullptr;
    return flush_block(buf, static_cast<ulg>(static_cast<long>(strstart) - block_start), eof);
}

// Slides the window once strstart reaches WSIZE + MAX_DIST, then reads as
// much as fits behind the lookahead. A read may be short; callers loop.
// Without `rebase` the chain tables are left alone: the thread that replays
// a parse made elsewhere keeps only the window (see replay_symbols).
template <bool rebase>
void refill();

inline void keep_lookahead() {
    while (lookahead < MIN_LOOKAHEAD && !eofile) refill<true>();
}

template <bool keyed>
unsigned find_longest(unsigned cur_match);

// Levels 1..3: every match found is taken at once.
ulg deflate_fast() {
    prev_length = MIN_MATCH - 1;
    while (lookahead != 0) {
        unsigned match_length = 0;
        unsigned hash_head = insert_string(strstart);
        if (hash_head != NIL && strstart - hash_head <= MAX_DIST) {
            match_length = find_longest<false>(hash_head);
            if (match_length > lookahead) match_length = lookahead;
        }
        int flush;
        if (match_length >= MIN_MATCH) {
            flush = ct_tally(strstart - match_start, match_length - MIN_MATCH);
            lookahead -= match_length;
            if (match_length <= max_lazy_match) {
                // The string at strstart is in its chain already; add the rest.
                while (--match_length != 0) insert_string(++strstart);
                strstart++;
            } else {
                strstart += match_length;
                ins_h = (static_cast<unsigned>(window[strstart]) << H_SHIFT) ^ window[strstart + 1];
            }
        } else {
            flush = ct_tally(0, window[strstart]);
            lookahead--;
            strstart++;
        }
        if (flush) {
            flush_current_block(0);
            block_start = strstart;
        }
        keep_lookahead();
    }
    return flush_current_block(1);
}
}  // namespace

const std::array<config, 10> configuration_table = {{
    {0, 0, 0, 0},          // 0: not accepted by lm_init
    {4, 4, 8, 4},          // 1..3: fast
    {4, 5, 16, 8},
    {4, 6, 32, 32},
    {4, 4, 16, 16},        // 4..9: lazy
    {8, 16, 32, 32},
    {8, 16, 128, 128},
    {8, 32, 128, 256},
    {32, 128, 258, 1024},
    {32, 258, 258, 4096},  // 9: the level this program uses
}};

thread_local constinit unsigned strstart;
thread_local constinit unsigned lookahead;
thread_local constinit long block_start;
thread_local constinit unsigned match_start;
thread_local constinit unsigned prev_length;
thread_local constinit unsigned ins_h;
thread_local constinit int eofile;
thread_local constinit counter_t window_origin;
int compr_level;
unsigned max_lazy_match, good_match, nice_match, max_chain_length;

// Prepares a new member at `pack_level` (1..9) and performs the first read.
// ORs the gzip extra flags into *flags: 2 at level 9, 4 at level 1. The chain
// links are left alone: only heads cleared here lead to them.
void lm_init(int pack_level, ush *flags) {
    if (pack_level < 1 || pack_level > 9) error("bad pack level");
    compr_level = pack_level;
    std::memset(heads(), 0, HASH_SIZE * sizeof(ush));
    std::memset(key_head, 0, sizeof key_head);

    const config &row = configuration_table[static_cast<unsigned>(pack_level)];
    max_lazy_match = row.max_lazy;
    good_match = row.good_length;
    nice_match = row.nice_length;
    max_chain_length = row.max_chain;
    if (pack_level == 1) {
        *flags = static_cast<ush>(*flags | 4);
    } else if (pack_level == 9) {
        *flags = static_cast<ush>(*flags | 2);
    }

    strstart = 0;
    block_start = 0;
    window_origin = 0;
    int n = read_buf(reinterpret_cast<char *>(window), WINDOW_SIZE);
    if (n == 0 || n == -1) {
        eofile = 1;
        lookahead = 0;
        return;
    }
    eofile = 0;
    lookahead = static_cast<unsigned>(n);
    keep_lookahead();
    ins_h = (static_cast<unsigned>(window[0]) << H_SHIFT) ^ window[1];
}

void fill_window() { refill<true>(); }

namespace {
template <bool rebase>
void refill() {
    unsigned more = WINDOW_SIZE - lookahead - strstart;  // free bytes at the end
    if (strstart >= WSIZE + MAX_DIST) {
        std::memcpy(window, window + WSIZE, WSIZE);
        match_start -= WSIZE;
        strstart -= WSIZE;
        block_start -= WSIZE;
        window_origin += WSIZE;
        static_assert(HASH_SIZE == WSIZE);
        if constexpr (rebase) {
            // The lazy levels link through hash_links alone and leave prev be.
            if (compr_level <= 3) {
                rebase_positions(prev, 2 * WSIZE);  // the links and, behind them, the heads
            } else {
                rebase_positions(heads(), HASH_SIZE);
            }
            rebase_links(hash_links, 2);
            rebase_positions(key_head, KEY_HASH_SIZE);
            rebase_links(key_links, 3);
        }
        more += WSIZE;
    }
    if (!eofile) {
        int n = read_buf(reinterpret_cast<char *>(window) + strstart + lookahead, more);
        if (n == 0 || n == -1) {
            eofile = 1;
        } else {
            lookahead += static_cast<unsigned>(n);
        }
    }
}

// The chain walk behind longest_match; `keyed` when every position has been
// inserted with insert_string_keyed, so that the key chains may be used.
template <bool keyed>
unsigned find_longest(unsigned cur_match) {
    unsigned chain_length = max_chain_length;
    const uch *scan = window + strstart;
    unsigned best_len = prev_length;
    const unsigned limit = strstart > MAX_DIST ? strstart - MAX_DIST : NIL;
    const uint16_t scan_start = load16(scan);
    uint16_t scan_end = load16(scan + best_len - 1);  // the bytes at best_len - 1 and best_len

    if (prev_length >= good_match) chain_length >>= 2;

    // Tests one candidate exactly as the byte-wise walk did: the two bytes
    // ending at best_len and the first two must agree, and then the run is
    // compared from offset `from` (3, or KEY_LEN when the key is known
    // equal). Returns true when the match is long enough to stop the search.
    auto consider = [&](unsigned cand, unsigned from) {
        const uch *match = window + cand;
        if (load16(match + best_len - 1) != scan_end || load16(match) != scan_start) return false;
        unsigned len = match_run(scan, match, from);
        if (len <= best_len) return false;
        match_start = cand;
        best_len = len;
        if (len >= nice_match) return true;
        scan_end = load16(scan + best_len - 1);
        return false;
    };

    // Plain walk while the key chain does not apply. At the lazy levels
    // hash_links give every entry two steps ahead.
    unsigned next = keyed ? hash_links[cur_match & WMASK].prev : prev[cur_match & WMASK];
    for (;;) {
        if (keyed && best_len >= KEY_LEN - 1 && strstart - cur_match >= KEY_LAG) break;
        if (consider(cur_match, MIN_MATCH)) return best_len;
        if constexpr (keyed) {
            unsigned after_next = hash_links[cur_match & WMASK].prev2;
            cur_match = next;
            next = after_next;
        } else {
            cur_match = prev[cur_match & WMASK];
        }
        if (cur_match <= limit || --chain_length == 0) return best_len;
    }

    // Key-chain walk: cur_match is the hash-chain entry the plain walk would
    // test next, with chain_length as it would have it, and it is in its key
    // chain. Go to the newest position at or below it whose key equals the
    // current string's, charging the hash-chain links passed; every entry
    // the plain walk would test in between fails.
    if constexpr (keyed) {
        unsigned cur_rank = hash_links[cur_match & WMASK].rank;
        unsigned cand = key_head[key_hash(scan)];
        unsigned cand_next = key_links[cand & WMASK].prev;
        unsigned cand_next2 = key_links[cand & WMASK].prev2;
        auto advance = [&] {
            unsigned after = key_links[cand & WMASK].prev3;
            cand = cand_next;
            cand_next = cand_next2;
            cand_next2 = after;
        };
        while (cand > cur_match) advance();
        for (;;) {
            while (cand > limit && !same_key(window + cand, scan)) advance();
            if (cand <= limit) break;
            unsigned rank = key_links[cand & WMASK].rank;
            unsigned links = static_cast<ush>(cur_rank - rank);
            if (links >= chain_length) break;
            chain_length -= links;
            cur_match = cand;
            cur_rank = rank;
            if (consider(cur_match, KEY_LEN)) break;
            advance();
        }
    }
    return best_len;
}
}  // namespace

// Walks the chain from cur_match for the longest string equal to the one at
// strstart. Returns the best length, which is prev_length when nothing longer
// was found (match_start is then unchanged). The result may exceed
// lookahead; callers clamp it. Reads may reach MAX_MATCH + 7 bytes past the
// last input byte, which the window's zero slack keeps in bounds. Of several
// candidates of the best length the newest (first in the chain) wins.
unsigned longest_match(unsigned cur_match) {
    return compr_level <= 3 ? find_longest<false>(cur_match) : find_longest<true>(cur_match);
}

namespace {
// Where the symbols of the lazy parse go. The one-thread parse hands them to
// the block emitter and ends a block where it asks; a parse on a thread of
// its own (span_parse) collects them and reports its loop tops.
struct EmitSink {
    static constexpr bool tracks = false;
    static int tally(unsigned dist, unsigned lc) { return ct_tally(dist, lc); }
};
struct SpanSink {
    static constexpr bool tracks = true;
    span_hooks &hooks;
    int tally(unsigned dist, unsigned lc) {
        if (dist == 0) {
            hooks.tokens.push_back(static_cast<token_t>(lc));
        } else {
            hooks.tokens.push_back(static_cast<token_t>(LITERALS + lc));
            hooks.tokens.push_back(static_cast<token_t>(dist));
        }
        return 0;
    }
};

// The lazy loop (levels 4..9) from the state given to the end of the input,
// or, for a tracking sink, until its event says stop. Returns the state.
template <typename Sink>
void lazy_parse(Sink &sink, unsigned &match_length_io, int &match_available_io) {
    unsigned match_length = match_length_io;
    int match_available = match_available_io;
    while (lookahead != 0) {
        if constexpr (Sink::tracks) {
            const counter_t pos = window_origin + strstart;
            if (pos >= sink.hooks.next_event) {
                lazy_state_t state = static_cast<lazy_state_t>(match_available) << 31 | 1u << 30 | match_length << 16;
                if (match_length >= MIN_MATCH) state |= strstart - match_start;
                if (!sink.hooks.event(sink.hooks, pos, state)) break;
            }
        }
        unsigned hash_head = insert_string_keyed(strstart);

        prev_length = match_length;
        unsigned prev_match = match_start;
        match_length = MIN_MATCH - 1;

        if (hash_head != NIL && prev_length < max_lazy_match && strstart - hash_head <= MAX_DIST) {
            match_length = find_longest<true>(hash_head);
            if (match_length > lookahead) match_length = lookahead;
            // A far 3-byte match costs more than its three literals.
            if (match_length == MIN_MATCH && strstart - match_start > TOO_FAR) match_length--;
        }

        if (prev_length >= MIN_MATCH && match_length <= prev_length) {
            // The match at the previous position wins, ties included.
            int flush = sink.tally(strstart - 1 - prev_match, prev_length - MIN_MATCH);
            lookahead -= prev_length - 1;
            // strstart - 1 and strstart are in their chains; add the rest.
            for (unsigned k = prev_length - 2; k != 0; k--) insert_string_keyed(++strstart);
            strstart++;
            match_available = 0;
            match_length = MIN_MATCH - 1;
            if (flush) {
                flush_current_block(0);
                block_start = strstart;
            }
        } else if (match_available) {
            // The previous byte is a literal; the byte at strstart is still
            // undecided and belongs to the next block.
            if (sink.tally(0, window[strstart - 1])) {
                flush_current_block(0);
                block_start = strstart;
            }
            strstart++;
            lookahead--;
        } else {
            match_available = 1;
            strstart++;
            lookahead--;
        }
        keep_lookahead();
    }
    match_length_io = match_length;
    match_available_io = match_available;
}

// Input of a span_parse thread: pread from the file at the next offset,
// whole pieces as a read of a regular file gives them.
thread_local constinit int span_fd = -1;
thread_local constinit counter_t span_next;

int span_read(char *buf, unsigned size) {
    unsigned got = 0;
    while (got < size) {
        ssize_t n = pread(span_fd, buf + got, size - got, static_cast<off_t>(span_next));
        if (n == 0) break;
        if (n < 0) {
            if (errno == EINTR) continue;
            std::fprintf(stderr, "\n%s: %s: %s\n", progname, ifname, std::strerror(errno));
            abort_gzip();
        }
        got += static_cast<unsigned>(n);
        span_next += n;
    }
    return static_cast<int>(got);
}
}  // namespace

// Compresses the rest of the input into blocks and emits the final block.
ulg deflate() {
    if (compr_level <= 3) return deflate_fast();
    EmitSink sink;
    unsigned match_length = MIN_MATCH - 1;
    int match_available = 0;
    lazy_parse(sink, match_length, match_available);
    if (match_available) ct_tally(0, window[strstart - 1]);
    return flush_current_block(1);
}

// At `start` the one-thread parse has slid start / WSIZE - 1 times (the slide
// before it happened at a loop top in the last MIN_LOOKAHEAD bytes before it)
// and read up to start + WSIZE: the lower half holds the WSIZE bytes before
// start; the upper half held the same bytes before the read behind start,
// which matters where the input ends inside it (a match may look past the
// end). Before the first slide the window holds the first 2 * WSIZE bytes.
void span_begin(int fd, counter_t start, unsigned skip) {
    span_fd = fd;
    read_buf = span_read;
    std::memset(heads(), 0, HASH_SIZE * sizeof(ush));
    std::memset(key_head, 0, sizeof key_head);
    eofile = 0;
    match_start = 0;
    prev_length = MIN_MATCH - 1;
    auto read_at = [](counter_t from, uch *to, unsigned n) {
        span_next = from;
        return static_cast<unsigned>(span_read(reinterpret_cast<char *>(to), n));
    };
    if (start < 2 * WSIZE) {
        window_origin = 0;
        lookahead = read_at(0, window, WINDOW_SIZE) - static_cast<unsigned>(start);
    } else {
        window_origin = start - WSIZE;
        read_at(window_origin, window, WSIZE);
        std::memcpy(window + WSIZE, window, WSIZE);
        lookahead = read_at(start, window + WSIZE, WSIZE);
    }
    strstart = static_cast<unsigned>(start - window_origin);
    block_start = strstart;
    ins_h = (static_cast<unsigned>(window[0]) << H_SHIFT) ^ window[1];
    for (unsigned s = 0; s < strstart; s++) insert_string_keyed(s);
    for (; skip != 0; skip--, lookahead--) insert_string_keyed(strstart++);
}

bool span_parse(span_hooks &hooks) {
    SpanSink sink{hooks};
    unsigned match_length = MIN_MATCH - 1;
    int match_available = 0;
    lazy_parse(sink, match_length, match_available);
    if (lookahead != 0) return false;
    if (match_available) sink.tally(0, window[strstart - 1]);
    return true;
}

namespace {
// The replaying thread's window moves on by n bytes; it holds them unless
// the input has shrunk since its length was taken.
inline void replay_advance(unsigned n) {
    if (n > lookahead) error("file changed while it was compressed");
    strstart += n;
    lookahead -= n;
}
inline void replay_keep() {
    while (lookahead < MIN_LOOKAHEAD && !eofile) refill<false>();
}
}  // namespace

// Each symbol at input offset q is emitted, as in deflate(), at the loop top
// q + 1, after the loop iteration that decided q ended at q + 1 (a refill may
// follow there); a match's iteration then ends at its end. A literal at the
// last input byte is the one deflate() emits after its loop, whose request to
// end the block it ignores.
void replay_symbols(const token_t *t, size_t n, counter_t size) {
    for (const token_t *end = t + n; t != end; t++) {
        replay_advance(1);
        replay_keep();
        const unsigned tok = *t;
        if (tok < LITERALS) {
            if (window[strstart - 1] != tok) error("file changed while it was compressed");
            if (ct_tally(0, tok) && window_origin + strstart != size) {
                flush_current_block(0);
                block_start = strstart;
            }
        } else {
            const unsigned lc = tok - LITERALS, len = lc + MIN_MATCH;
            const unsigned dist = ++t != end ? *t : 0;
            const uch *at = window + strstart - 1;
            if (dist == 0 || dist > strstart - 1 || len > lookahead + 1 || std::memcmp(at, at - dist, len) != 0)
                error("file changed while it was compressed");
            int flush = ct_tally(dist, lc);
            replay_advance(len - 1);
            if (flush) {
                flush_current_block(0);
                block_start = strstart;
            }
            replay_keep();
        }
    }
}

ulg replay_end(counter_t size) {
    if (window_origin + strstart != size || lookahead != 0) error("file changed while it was compressed");
    return flush_current_block(1);
}
