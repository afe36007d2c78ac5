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
// would point into the discarded half become 0.
//
// Levels 4..9 use lazy evaluation: a match is only emitted once the match
// starting one byte later has been found not to be longer. Levels 1..3 take
// every match at once. The search parameters come from configuration_table.
// Nothing here allocates; all state is process-wide.
#include "stream.h"

#include <cstring>

namespace {
constexpr unsigned HASH_BITS = 15;
constexpr unsigned HASH_SIZE = 1u << HASH_BITS;
constexpr unsigned HASH_MASK = HASH_SIZE - 1;
constexpr unsigned WMASK = WSIZE - 1;
constexpr unsigned H_SHIFT = 5;  // three updates shift a byte out of the 15-bit hash
constexpr unsigned NIL = 0;      // end of a chain

inline void update_hash(unsigned c) { ins_h = ((ins_h << H_SHIFT) ^ c) & HASH_MASK; }

// Inserts the string at s into its chain and returns the previous head.
inline unsigned insert_string(unsigned s) {
    update_hash(window[s + MIN_MATCH - 1]);
    unsigned match_head = head[ins_h];
    prev[s & WMASK] = static_cast<ush>(match_head);
    head[ins_h] = static_cast<ush>(s);
    return match_head;
}

// Ends the current block at strstart; its bytes are still in the window
// only while block_start is not negative.
inline ulg flush_current_block(int eof) {
    const char *buf = block_start >= 0 ? reinterpret_cast<const char *>(window) + block_start : nullptr;
    return flush_block(buf, static_cast<ulg>(static_cast<long>(strstart) - block_start), eof);
}

inline void keep_lookahead() {
    while (lookahead < MIN_LOOKAHEAD && !eofile) fill_window();
}

// Levels 1..3: every match found is taken at once.
ulg deflate_fast() {
    prev_length = MIN_MATCH - 1;
    while (lookahead != 0) {
        unsigned match_length = 0;
        unsigned hash_head = insert_string(strstart);
        if (hash_head != NIL && strstart - hash_head <= MAX_DIST) {
            match_length = longest_match(hash_head);
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

unsigned strstart;
unsigned lookahead;
long block_start;
unsigned match_start;
unsigned prev_length;
unsigned ins_h;
int eofile;
int compr_level;
unsigned max_lazy_match, good_match, nice_match, max_chain_length;

// Prepares a new member at `pack_level` (1..9) and performs the first read.
// ORs the gzip extra flags into *flags: 2 at level 9, 4 at level 1. The chain
// links are left alone: only heads cleared here lead to them.
void lm_init(int pack_level, ush *flags) {
    if (pack_level < 1 || pack_level > 9) error("bad pack level");
    compr_level = pack_level;
    std::memset(head, 0, HASH_SIZE * sizeof(*head));

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

// Slides the window once strstart reaches WSIZE + MAX_DIST, then reads as
// much as fits behind the lookahead. A read may be short; callers loop.
void fill_window() {
    unsigned more = WINDOW_SIZE - lookahead - strstart;  // free bytes at the end
    if (strstart >= WSIZE + MAX_DIST) {
        std::memcpy(window, window + WSIZE, WSIZE);
        match_start -= WSIZE;
        strstart -= WSIZE;
        block_start -= WSIZE;
        for (unsigned n = 0; n < HASH_SIZE; n++) {
            unsigned m = head[n];
            head[n] = static_cast<ush>(m >= WSIZE ? m - WSIZE : NIL);
        }
        for (unsigned n = 0; n < WSIZE; n++) {
            unsigned m = prev[n];
            prev[n] = static_cast<ush>(m >= WSIZE ? m - WSIZE : NIL);
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

// Walks the chain from cur_match for the longest string equal to the one at
// strstart. Returns the best length, which is prev_length when nothing longer
// was found (match_start is then unchanged). The result may exceed
// lookahead; callers clamp it. Reads may reach MAX_MATCH bytes past the last
// input byte, which the window's zero slack keeps in bounds.
unsigned longest_match(unsigned cur_match) {
    unsigned chain_length = max_chain_length;
    const uch *scan = window + strstart;
    unsigned best_len = prev_length;
    const unsigned limit = strstart > MAX_DIST ? strstart - MAX_DIST : NIL;
    uch scan_end1 = scan[best_len - 1];
    uch scan_end = scan[best_len];

    if (prev_length >= good_match) chain_length >>= 2;

    do {
        const uch *match = window + cur_match;
        // Most candidates fail on one of these four bytes.
        if (match[best_len] != scan_end || match[best_len - 1] != scan_end1 || match[0] != scan[0] ||
            match[1] != scan[1]) {
            continue;
        }
        // Equal first two bytes on one chain imply an equal third byte, so
        // compare from offset 3, eight bytes per step; len ends at the first
        // differing offset, or at MAX_MATCH.
        unsigned len = MIN_MATCH;
        do {
            if (scan[len] != match[len]) break;
            len++;
            if (scan[len] != match[len]) break;
            len++;
            if (scan[len] != match[len]) break;
            len++;
            if (scan[len] != match[len]) break;
            len++;
            if (scan[len] != match[len]) break;
            len++;
            if (scan[len] != match[len]) break;
            len++;
            if (scan[len] != match[len]) break;
            len++;
            if (scan[len] != match[len]) break;
            len++;
        } while (len <= MAX_MATCH);
        if (len > MAX_MATCH) len = MAX_MATCH;

        if (len > best_len) {
            match_start = cur_match;
            best_len = len;
            if (len >= nice_match) break;
            scan_end1 = scan[best_len - 1];
            scan_end = scan[best_len];
        }
    } while ((cur_match = prev[cur_match & WMASK]) > limit && --chain_length != 0);

    return best_len;
}

// Compresses the rest of the input into blocks and emits the final block.
ulg deflate() {
    if (compr_level <= 3) return deflate_fast();

    unsigned match_length = MIN_MATCH - 1;
    int match_available = 0;
    while (lookahead != 0) {
        unsigned hash_head = insert_string(strstart);

        prev_length = match_length;
        unsigned prev_match = match_start;
        match_length = MIN_MATCH - 1;

        if (hash_head != NIL && prev_length < max_lazy_match && strstart - hash_head <= MAX_DIST) {
            match_length = longest_match(hash_head);
            if (match_length > lookahead) match_length = lookahead;
            // A far 3-byte match costs more than its three literals.
            if (match_length == MIN_MATCH && strstart - match_start > TOO_FAR) match_length--;
        }

        if (prev_length >= MIN_MATCH && match_length <= prev_length) {
            // The match at the previous position wins, ties included.
            int flush = ct_tally(strstart - 1 - prev_match, prev_length - MIN_MATCH);
            lookahead -= prev_length - 1;
            // strstart - 1 and strstart are in their chains; add the rest.
            for (unsigned k = prev_length - 2; k != 0; k--) insert_string(++strstart);
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
            if (ct_tally(0, window[strstart - 1])) {
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
    if (match_available) ct_tally(0, window[strstart - 1]);
    return flush_current_block(1);
}
