// trees.cc - Huffman trees and block emission.
//
// The match finder hands every literal and match to ct_tally, which buffers
// the block (literal bytes or lengths in inbuf, distances in d_buf, one flag
// bit per symbol in flag_buf) and counts symbol frequencies. flush_block then
// builds length-limited Huffman codes and emits the block in whichever form
// its size estimates make smallest: stored, fixed codes (preferred on a tie
// with dynamic), or dynamic codes described with the run-length code-length
// alphabet. Every open choice - where blocks end, heap tie-breaks, overflow
// repair, run-length form, number of code-length codes - is made in a fixed
// way, so equal input gives equal bytes on every build. The size estimates
// are 32-bit on both builds; a block never comes near that range.
#include "stream.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace {
constexpr unsigned FLAG_BUFSIZE = LIT_BUFSIZE / 8;


int base_length[LENGTH_CODES];  // first length - 3 of each length code
int base_dist[D_CODES];         // first distance - 1 of each distance code

int heap[HEAP_SIZE];  // heap[1..heap_len]; removed nodes collect at heap[heap_max..572]
int heap_len;
int heap_max;
uch depth[HEAP_SIZE];  // subtree depth, breaks frequency ties

uch flag_buf[FLAG_BUFSIZE];  // bit i%8 of byte i/8: symbol i is a match
unsigned last_flags;         // complete flag bytes stored
uch flags;                   // flag byte being assembled
uch flag_bit;                // bit of `flags` for the next symbol
uint64_t compressed_len;     // bits emitted so far in this member
ush *file_type;
int *file_method;

inline unsigned d_code(unsigned dist) { return dist < 256 ? dist_code[dist] : dist_code[256 + (dist >> 7)]; }

inline void send_code(int c, const ct_data *tree) { send_bits(tree[c].fc.code, tree[c].dl.len); }

// Heap order: lower frequency first, on equal frequency the shallower subtree
// (or either, when the depths are equal too).
inline bool smaller(const ct_data *tree, int n, int m) {
    return tree[n].fc.freq < tree[m].fc.freq || (tree[n].fc.freq == tree[m].fc.freq && depth[n] <= depth[m]);
}

// Sifts heap[k] down; on a full tie the right child is taken, and the sifted
// node stops above an equal child.
void pqdownheap(const ct_data *tree, int k) {
    int v = heap[k];
    int j = k << 1;
    while (j <= heap_len) {
        if (j < heap_len && smaller(tree, heap[j + 1], heap[j])) j++;
        if (smaller(tree, v, heap[j])) break;
        heap[k] = heap[j];
        k = j;
        j <<= 1;
    }
    heap[k] = v;
}
}  // namespace

ct_data dyn_ltree[HEAP_SIZE];
ct_data dyn_dtree[2 * D_CODES + 1];
ct_data static_ltree[L_CODES + 2];
ct_data static_dtree[D_CODES];
ct_data bl_tree[2 * BL_CODES + 1];

tree_desc l_desc = {dyn_ltree, static_ltree, LENGTH_EXTRA.data(), LITERALS + 1, L_CODES, MAX_BITS, 0};
tree_desc d_desc = {dyn_dtree, static_dtree, DIST_EXTRA.data(), 0, D_CODES, MAX_BITS, 0};
tree_desc bl_desc = {bl_tree, nullptr, BL_EXTRA.data(), 0, BL_CODES, MAX_BL_BITS, 0};

ush bl_count[MAX_BITS + 1];
uint32_t opt_len;
uint32_t static_len;
unsigned last_lit;
unsigned last_dist;
uch length_code[MAX_MATCH - MIN_MATCH + 1];
uch dist_code[512];

// Starts a member: records the caller's attribute and method words and resets
// the bit count. The mapping tables and fixed codes are built on the first
// call only; after that each member's final flush_block has already left the
// block state reset.
void ct_init(ush *attr, int *methodp) {
    file_type = attr;
    file_method = methodp;
    compressed_len = 0;
    if (static_dtree[0].dl.len != 0) return;

    // Length codes 0..27 cover lengths 3..258; 258 itself gets code 28 so it
    // never goes out as code 27 with all-ones extra bits.
    int length = 0;
    int code;
    for (code = 0; code < LENGTH_CODES - 1; code++) {
        base_length[code] = length;
        for (int n = 0; n < (1 << LENGTH_EXTRA[code]); n++) length_code[length++] = static_cast<uch>(code);
    }
    length_code[length - 1] = static_cast<uch>(code);

    // Distances below 256 map directly, larger ones by distance / 128.
    int dist = 0;
    for (code = 0; code < 16; code++) {
        base_dist[code] = dist;
        for (int n = 0; n < (1 << DIST_EXTRA[code]); n++) dist_code[dist++] = static_cast<uch>(code);
    }
    dist >>= 7;
    for (; code < D_CODES; code++) {
        base_dist[code] = dist << 7;
        for (int n = 0; n < (1 << (DIST_EXTRA[code] - 7)); n++) dist_code[256 + dist++] = static_cast<uch>(code);
    }

    // The fixed literal/length code, 288 symbols so that it is complete.
    std::fill(std::begin(bl_count), std::end(bl_count), 0);
    int n;
    for (n = 0; n < FIXED_L_CODES; n++) {
        static_ltree[n].dl.len = static_cast<ush>(fixed_l_length(n));
        bl_count[fixed_l_length(n)]++;
    }
    gen_codes(static_ltree, L_CODES + 1);

    for (n = 0; n < D_CODES; n++) {
        static_dtree[n].dl.len = FIXED_D_LENGTH;
        static_dtree[n].fc.code = static_cast<ush>(bi_reverse(static_cast<unsigned>(n), FIXED_D_LENGTH));
    }
    init_block();
}

// Empties the block: no symbols, frequencies 0 except end-of-block.
void init_block() {
    for (int n = 0; n < L_CODES; n++) dyn_ltree[n].fc.freq = 0;
    for (int n = 0; n < D_CODES; n++) dyn_dtree[n].fc.freq = 0;
    for (int n = 0; n < BL_CODES; n++) bl_tree[n].fc.freq = 0;
    dyn_ltree[END_BLOCK].fc.freq = 1;
    opt_len = static_len = 0;
    last_lit = last_dist = last_flags = 0;
    flags = 0;
    flag_bit = 1;
}

// Records a literal (dist 0, lc the byte) or a match (dist 1..32768, lc the
// length - 3). Returns 1 when the block should end now: the symbol buffer is
// full, or, every 4096 symbols, the block is mostly literals and already
// looks compressible to under half its input.
int ct_tally(unsigned dist, unsigned lc) {
    inbuf[last_lit++] = static_cast<uch>(lc);
    if (dist == 0) {
        dyn_ltree[lc].fc.freq++;
    } else {
        dist--;
        dyn_ltree[length_code[lc] + LITERALS + 1].fc.freq++;
        dyn_dtree[d_code(dist)].fc.freq++;
        d_buf[last_dist++] = static_cast<ush>(dist);
        flags = static_cast<uch>(flags | flag_bit);
    }
    flag_bit = static_cast<uch>(flag_bit << 1);
    if ((last_lit & 7) == 0) {
        flag_buf[last_flags++] = flags;
        flags = 0;
        flag_bit = 1;
    }
    if (level > 2 && (last_lit & 0xfff) == 0) {
        uint32_t out_length = static_cast<uint32_t>(last_lit) * 8;
        uint32_t in_length = static_cast<uint32_t>(static_cast<long>(strstart) - block_start);
        for (int dcode = 0; dcode < D_CODES; dcode++) {
            out_length += static_cast<uint32_t>(dyn_dtree[dcode].fc.freq) * (FIXED_D_LENGTH + DIST_EXTRA[dcode]);
        }
        out_length >>= 3;
        if (last_dist < last_lit / 2 && out_length < in_length / 2) return 1;
    }
    return last_lit == LIT_BUFSIZE - 1;
}

// Builds the Huffman code for `desc` from the leaf frequencies in its tree:
// sets every leaf's len and code and desc->max_code, and adds the block's
// cost in bits to opt_len (and static_len when there is a fixed code). Every
// tree gets at least two codes: missing ones are dummy leaves of frequency 1
// whose frequency is taken back out of the estimates.
void build_tree(tree_desc *desc) {
    ct_data *tree = desc->dyn_tree;
    const ct_data *stree = desc->static_tree;
    const int elems = desc->elems;
    int max_code = -1;
    int node = elems;  // next internal node

    heap_len = 0;
    heap_max = HEAP_SIZE;
    for (int n = 0; n < elems; n++) {
        if (tree[n].fc.freq != 0) {
            heap[++heap_len] = max_code = n;
            depth[n] = 0;
        } else {
            tree[n].dl.len = 0;
        }
    }
    while (heap_len < 2) {
        int dummy = heap[++heap_len] = (max_code < 2 ? ++max_code : 0);
        tree[dummy].fc.freq = 1;
        depth[dummy] = 0;
        opt_len--;
        if (stree) static_len -= stree[dummy].dl.len;
    }
    desc->max_code = max_code;

    for (int n = heap_len / 2; n >= 1; n--) pqdownheap(tree, n);

    // Join the two least frequent nodes until one is left. Removed nodes
    // collect at the top of heap, most recently removed lowest.
    do {
        int n = heap[1];
        heap[1] = heap[heap_len--];
        pqdownheap(tree, 1);
        int m = heap[1];
        heap[--heap_max] = n;
        heap[--heap_max] = m;
        tree[node].fc.freq = static_cast<ush>(tree[n].fc.freq + tree[m].fc.freq);
        depth[node] = static_cast<uch>(std::max(depth[n], depth[m]) + 1);
        tree[n].dl.dad = tree[m].dl.dad = static_cast<ush>(node);
        heap[1] = node++;
        pqdownheap(tree, 1);
    } while (heap_len >= 2);
    heap[--heap_max] = heap[1];

    gen_bitlen(desc);
    gen_codes(tree, max_code);
}

// Turns the tree in heap[heap_max..572] into code lengths of at most
// desc->max_length bits, fills bl_count and adds the leaves' costs to the
// estimates. Lengths over the limit are cut, and the code is then made
// complete again by moving leaves: each repair step takes a leaf from the
// deepest level below the limit and hangs it, with an overflowed leaf, one
// level deeper. Lengths are then handed out afresh, longest to the least
// frequent leaves.
void gen_bitlen(tree_desc *desc) {
    ct_data *tree = desc->dyn_tree;
    const ct_data *stree = desc->static_tree;
    const int *extra = desc->extra_bits;
    const int base = desc->extra_base;
    const int max_code = desc->max_code;
    const int max_length = desc->max_length;
    int overflow = 0;
    int h;

    std::fill(std::begin(bl_count), std::end(bl_count), 0);
    tree[heap[heap_max]].dl.len = 0;  // the root

    // Parents come before their children here, so a parent's len is final
    // before its children read it (len overwrites dad in the same field).
    for (h = heap_max + 1; h < HEAP_SIZE; h++) {
        int n = heap[h];
        int bits = tree[tree[n].dl.dad].dl.len + 1;
        if (bits > max_length) bits = max_length, overflow++;
        tree[n].dl.len = static_cast<ush>(bits);
        if (n > max_code) continue;  // internal node

        bl_count[bits]++;
        int xbits = n >= base ? extra[n - base] : 0;
        uint32_t f = tree[n].fc.freq;
        opt_len += f * static_cast<uint32_t>(bits + xbits);
        if (stree) static_len += f * static_cast<uint32_t>(stree[n].dl.len + xbits);
    }
    if (overflow == 0) return;

    do {
        int bits = max_length - 1;
        while (bl_count[bits] == 0) bits--;
        bl_count[bits]--;
        bl_count[bits + 1] = static_cast<ush>(bl_count[bits + 1] + 2);
        bl_count[max_length]--;
        overflow -= 2;
    } while (overflow > 0);

    h = HEAP_SIZE;
    for (int bits = max_length; bits != 0; bits--) {
        int n = bl_count[bits];
        while (n != 0) {
            int m = heap[--h];
            if (m > max_code) continue;
            if (tree[m].dl.len != bits) {
                opt_len += static_cast<uint32_t>((bits - tree[m].dl.len) * static_cast<int>(tree[m].fc.freq));
                tree[m].dl.len = static_cast<ush>(bits);
            }
            n--;
        }
    }
}

// Assigns canonical codes to leaves 0..max_code from their lengths and the
// counts in bl_count, stored bit-reversed for send_bits.
void gen_codes(ct_data *tree, int max_code) {
    ush next_code[MAX_BITS + 1];
    unsigned code = 0;
    for (int bits = 1; bits <= MAX_BITS; bits++) {
        code = ((code + bl_count[bits - 1]) << 1) & 0xffff;
        next_code[bits] = static_cast<ush>(code);
    }
    for (int n = 0; n <= max_code; n++) {
        int len = tree[n].dl.len;
        if (len == 0) continue;
        tree[n].fc.code = static_cast<ush>(bi_reverse(next_code[len]++, len));
    }
}

namespace {
// The run-length walk shared by scan_tree and send_tree: calls
// emit(symbol, repeat count for a plain length or extra-bits value, extra bits)
// for every code-length symbol that describes leaves 0..max_code. Needs the
// guard length after max_code that scan_tree stores.
template <typename Emit>
void walk_lengths(const ct_data *tree, int max_code, Emit emit) {
    int prevlen = -1;
    int nextlen = tree[0].dl.len;
    int count = 0;
    int max_count = 7;
    int min_count = 4;
    if (nextlen == 0) max_count = 138, min_count = 3;

    for (int n = 0; n <= max_code; n++) {
        int curlen = nextlen;
        nextlen = tree[n + 1].dl.len;
        if (++count < max_count && curlen == nextlen) continue;

        if (count < min_count) {
            emit(curlen, count, 0);
        } else if (curlen != 0) {
            if (curlen != prevlen) {
                emit(curlen, 1, 0);
                count--;
            }
            emit(REP_3_6, count - 3, 2);
        } else if (count <= 10) {
            emit(REPZ_3_10, count - 3, 3);
        } else {
            emit(REPZ_11_138, count - 11, 7);
        }
        count = 0;
        prevlen = curlen;
        if (nextlen == 0) {
            max_count = 138, min_count = 3;
        } else if (curlen == nextlen) {
            max_count = 6, min_count = 3;
        } else {
            max_count = 7, min_count = 4;
        }
    }
}
}  // namespace

// Counts into bl_tree the code-length symbols that send_tree will send for
// leaves 0..max_code, after placing the guard length 0xFFFF behind them.
void scan_tree(ct_data *tree, int max_code) {
    tree[max_code + 1].dl.len = 0xffff;
    walk_lengths(tree, max_code, [](int sym, int value, int xbits) {
        bl_tree[sym].fc.freq = static_cast<ush>(bl_tree[sym].fc.freq + (xbits == 0 ? value : 1));
    });
}

// Sends the lengths of leaves 0..max_code in run-length form with bl_tree.
void send_tree(ct_data *tree, int max_code) {
    walk_lengths(tree, max_code, [](int sym, int value, int xbits) {
        if (xbits == 0) {
            for (int k = 0; k < value; k++) send_code(sym, bl_tree);
        } else {
            send_code(sym, bl_tree);
            send_bits(static_cast<unsigned>(value), xbits);
        }
    });
}

// Builds the code-length code for both trees and returns the index in
// BL_ORDER of the last code-length code to send (at least 3, so four or more
// are always sent). Adds the dynamic header's cost to opt_len.
int build_bl_tree() {
    scan_tree(dyn_ltree, l_desc.max_code);
    scan_tree(dyn_dtree, d_desc.max_code);
    build_tree(&bl_desc);

    int max_blindex;
    for (max_blindex = BL_CODES - 1; max_blindex >= 3; max_blindex--) {
        if (bl_tree[BL_ORDER[max_blindex]].dl.len != 0) break;
    }
    opt_len += 3 * (static_cast<uint32_t>(max_blindex) + 1) + 5 + 5 + 4;
    return max_blindex;
}

// Sends the dynamic block header: HLIT, HDIST, HCLEN, the code-length code
// in BL_ORDER, then both trees.
void send_all_trees(int lcodes, int dcodes, int blcodes) {
    send_bits(static_cast<unsigned>(lcodes - 257), 5);
    send_bits(static_cast<unsigned>(dcodes - 1), 5);
    send_bits(static_cast<unsigned>(blcodes - 4), 4);
    for (int rank = 0; rank < blcodes; rank++) send_bits(bl_tree[BL_ORDER[rank]].dl.len, 3);
    send_tree(dyn_ltree, lcodes - 1);
    send_tree(dyn_dtree, dcodes - 1);
}

// Sends the buffered symbols of the block with the given codes, then the
// end-of-block code. The bits collect in a 64-bit accumulator that starts
// with bi_buf's pending bits and leaves in whole bytes after each symbol
// (at most 48 bits, so it never overflows); the bits that do not fill a
// byte go back to bi_buf. The bytes are those send_bits would write, and
// outbuf still goes out in OUTBUFSIZ pieces.
void compress_block(const ct_data *ltree, const ct_data *dtree) {
    uint64_t acc = bi_buf;
    unsigned nbits = static_cast<unsigned>(bi_valid);
    auto put = [&](unsigned value, unsigned length) {
        acc |= static_cast<uint64_t>(value) << nbits;
        nbits += length;
    };
    auto put_code = [&](unsigned c, const ct_data *tree) { put(tree[c].fc.code, tree[c].dl.len); };
    // Moves the whole bytes of acc to outbuf, eight stored at once into its
    // slack (outcnt < OUTBUFSIZ holds between calls).
    auto drain = [&] {
        unsigned nbytes = nbits >> 3;
        std::memcpy(outbuf + outcnt, &acc, sizeof acc);
        outcnt += nbytes;
        acc = nbytes == 8 ? 0 : acc >> (8 * nbytes);
        nbits &= 7;
        if (outcnt >= OUTBUFSIZ) {
            unsigned over = outcnt - OUTBUFSIZ;
            outcnt = OUTBUFSIZ;
            flush_outbuf();
            std::memmove(outbuf, outbuf + OUTBUFSIZ, over);
            outcnt = over;
        }
    };
    static_assert(OUTBUF_EXTRA >= sizeof(uint64_t));
    static_assert(std::endian::native == std::endian::little, "acc is stored as little-endian bytes");
    drain();
    unsigned lx = 0;
    unsigned dx = 0;
    unsigned fx = 0;
    unsigned flag = 0;
    for (; lx < last_lit; flag >>= 1) {
        if ((lx & 7) == 0) flag = flag_buf[fx++];
        unsigned lc = inbuf[lx++];
        if ((flag & 1) == 0) {
            put_code(lc, ltree);
        } else {
            unsigned code = length_code[lc];
            put_code(code + LITERALS + 1, ltree);
            if (int extra = LENGTH_EXTRA[code]; extra != 0) put(lc - static_cast<unsigned>(base_length[code]), static_cast<unsigned>(extra));
            unsigned dist = d_buf[dx++];
            code = d_code(dist);
            put_code(code, dtree);
            if (int extra = DIST_EXTRA[code]; extra != 0) put(dist - static_cast<unsigned>(base_dist[code]), static_cast<unsigned>(extra));
        }
        drain();
    }
    put_code(END_BLOCK, ltree);
    drain();
    bi_buf = static_cast<ush>(acc);
    bi_valid = static_cast<int>(nbits);
}

// Ends the current block. buf holds its stored_len input bytes, or is null
// when they have left the window (no stored block then); eof marks the
// member's last block, which is padded to a byte. Returns the bytes emitted
// so far in this member.
ulg flush_block(const char *buf, ulg stored_len, int eof) {
    flag_buf[last_flags] = flags;  // the partial flag byte

    build_tree(&l_desc);
    build_tree(&d_desc);
    int max_blindex = build_bl_tree();

    uint32_t opt_lenb = (opt_len + 3 + 7) >> 3;
    uint32_t static_lenb = (static_len + 3 + 7) >> 3;
    if (static_lenb <= opt_lenb) opt_lenb = static_lenb;

    if (stored_len + 4 <= opt_lenb && buf != nullptr) {
        send_bits((STORED_BLOCK << 1) + static_cast<unsigned>(eof), 3);
        compressed_len = (compressed_len + 3 + 7) & ~uint64_t{7};
        compressed_len += (static_cast<uint64_t>(stored_len) + 4) << 3;
        copy_block(buf, static_cast<unsigned>(stored_len), 1);
    } else if (static_lenb == opt_lenb) {
        send_bits((STATIC_TREES << 1) + static_cast<unsigned>(eof), 3);
        compress_block(static_ltree, static_dtree);
        compressed_len += 3 + static_len;
    } else {
        send_bits((DYN_TREES << 1) + static_cast<unsigned>(eof), 3);
        send_all_trees(l_desc.max_code + 1, d_desc.max_code + 1, max_blindex + 1);
        compress_block(dyn_ltree, dyn_dtree);
        compressed_len += 3 + opt_len;
    }
    init_block();
    if (eof) {
        bi_windup();
        compressed_len += 7;
    }
    return static_cast<ulg>(compressed_len >> 3);
}
