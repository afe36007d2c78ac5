// stream.h - the shared stream layer of kivra's codec.
//
// Every byte that is compressed or decompressed passes through the
// process-wide buffers and counters declared here. A process runs in one
// direction only (the builder compresses, the extractor and the listing
// decompress), so the same static buffers serve both directions with
// different roles; see the table at each buffer.
//
// The codec units (util, io, zip, deflate, trees, bits, unzip, inflate)
// include this header and gzip_member.h, the facts of a gzip member, and
// never a tool header; the tool reaches the codec through the declarations
// below.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "deflate_format.h"

// ---- byte and word types -----------------------------------------------------
using uch = unsigned char;   // 8 bits
using ush = unsigned short;  // 16 bits
using ulg = unsigned long;   // the platform's long; only the low 32 bits carry CRC and length values
using voidp = void *;
using file_t = int;

// Counters are 64 bits wide in both builds, so sizes over 2 GiB count
// correctly on 32-bit x86 as well; gzip trailers take their low 32 bits.
using counter_t = long long;

// ---- buffer geometry ---------------------------------------------------------
constexpr unsigned INBUFSIZ = 0x8000;      // input fill size, 32768
constexpr unsigned INBUF_EXTRA = 64;       // slack after inbuf
constexpr unsigned OUTBUFSIZ = 16384;      // compressed output is flushed at this count
constexpr unsigned OUTBUF_EXTRA = 2048;    // slack after outbuf: the block emitter writes up to 8 bytes past OUTBUFSIZ
constexpr unsigned WSIZE = 0x8000;         // half window, 32768
constexpr unsigned DIST_BUFSIZE = 0x8000;  // d_buf entries
constexpr unsigned LIT_BUFSIZE = 0x8000;   // literal buffer entries (inbuf doubles as it)
constexpr unsigned MIN_MATCH = 3;
constexpr unsigned MAX_MATCH = 258;
// Zero bytes after the 64 KiB window that nothing ever writes: the match
// finder may compare up to MAX_MATCH bytes past the last valid input byte.
constexpr unsigned WINDOW_SLACK = 2 * MAX_MATCH;
constexpr unsigned WINDOW_SIZE = 2 * WSIZE;  // the compressor's window_size

// ---- process-wide buffers (util.cc) --------------------------------------------
//   buffer   decompressing                          compressing
//   inbuf    bytes read from ifd                    literal buffer of the block emitter
//   outbuf   unused                                 compressed bytes awaiting output
//   window   history window (first 32 KiB)          sliding window (all 64 KiB)
//   d_buf    unused                                 distance buffer of the block emitter
//   prev     unused                                 hash-chain links (low half; levels 1..3 only),
//                                                   heads (high half)
// window and prev belong to each thread: the builder's parsing threads each
// run the match finder over a window of their own (see parallel.cc).
extern uch inbuf[INBUFSIZ + INBUF_EXTRA];
extern uch outbuf[OUTBUFSIZ + OUTBUF_EXTRA];
extern thread_local constinit uch window[2 * WSIZE + WINDOW_SLACK];
extern ush d_buf[DIST_BUFSIZE];
extern thread_local constinit ush prev[2 * WSIZE];

// ---- counters (util.cc) ----------------------------------------------------------
extern unsigned insize;   // valid bytes in inbuf
extern unsigned inptr;    // next byte of inbuf to consume
extern unsigned outcnt;   // pending bytes in outbuf (compressing) or window (decompressing)
extern counter_t bytes_in;      // bytes taken from the input
extern counter_t bytes_out;     // bytes written by flush_outbuf / flush_window
extern counter_t header_bytes;  // member header length + 8 (set by the header reader and zip)

// ---- I/O identity and run-wide values (util.cc) ------------------------------------
extern int ifd;              // input descriptor read by fill_inbuf
extern int ofd;              // output descriptor written by the flushes
extern char ifname[1024];    // input name, for messages
extern char ofname[1024];    // output name; also what "%o" expands to
extern char *progname;       // program name that starts every message (progname.cc)
extern int exit_code;        // exit status of the listing and builder roles
extern int quiet;            // -q: nothing but errors is reported (no notes, no progress line)
extern int level;            // compression level, 9 for the whole run
extern int save_orig_name;   // store the input's name in each member: 1
extern int method;           // compression method of the current member (initially 8)
extern long long time_stamp;  // member modification time, seconds since 1970 (64 bits in both builds)

constexpr int DEFLATED = 8;

// ---- reading and writing completely (io.cc) --------------------------------------------
// One rule for every unit: an interrupted call (EINTR) is made again and a
// partial transfer continues; only end of file or an error ends it early.
// Reads until n bytes, end of file or an error; returns the bytes read. errno
// is 0 after a short count at end of file, the read's error otherwise.
size_t read_fully(int fd, void *buf, size_t n);
// Writes all n bytes: 0, or -1 with errno set (EIO when nothing was taken).
int write_fully(int fd, const void *buf, size_t n);
// A reader along: when tap_hook is set, it sees every block that write_fully
// has written completely to tap_fd, in order (the builder's output while a
// signer reads it). -1 / nullptr: none.
extern int tap_fd;
extern void (*tap_hook)(const void *buf, size_t n);
// Copies everything readable from in to out, or at most limit bytes when
// limit is not COPY_TO_END; returns the bytes copied. A read error is fatal
// (read_error), a write error too (write_error).
constexpr unsigned COPY_PIECE = 65536;
constexpr counter_t COPY_TO_END = -1;
counter_t copy_fully(int in, int out, counter_t limit = COPY_TO_END);
// copy_fully's loop for a caller that reports failures itself: how the copy
// ended, errno telling why when a side failed. The bytes read before a read
// error are written first. Pieces count through progress_hook only when
// count_progress is set.
enum class CopyEnd { done, read_failed, write_failed };
CopyEnd copy_until_end(int in, int out, counter_t *copied, bool count_progress,
                       counter_t limit = COPY_TO_END);

// ---- CRC-32, buffered input, output paths, fatal paths (util.cc) ---------------------
ulg updcrc(const uch *s, unsigned n);
// The register update behind updcrc (register not inverted, no reset) on
// every processor; updcrc uses a faster routine where the processor has one.
// Declared so that the tests check it on every machine, and the faster ones
// where the processor has them (cpu_has: clmul, clmul512).
uint32_t crc32_portable(uint32_t reg, const uch *s, size_t n);
#if defined(__x86_64__) || defined(__i386__)
uint32_t crc32_clmul(uint32_t reg, const uch *s, size_t n);
uint32_t crc32_clmul512(uint32_t reg, const uch *s, size_t n);
#endif
// Optional instructions of this processor, probed once: carry-less multiply
// (with SSE2) for the CRC, BMI1 and BMI2 (both: bmi2) for the decoder's fast
// loop, and 512-bit carry-less multiply (AVX-512F and VPCLMULQDQ) for the CRC.
enum class CpuFeature { clmul, bmi2, clmul512 };
bool cpu_has(CpuFeature f);
int fill_inbuf(int eof_ok);
// The next input byte: one comparison and one array read on the fast path.
inline int in_byte() { return inptr < insize ? inbuf[inptr++] : fill_inbuf(0); }
void flush_outbuf();
// An output descriptor that takes nothing: flush_window then only folds the
// bytes into the CRC and counts them, so unzip(in, DISCARD_OUTPUT) checks a
// member without writing a byte of it. Not -1, which a failed open or dup
// returns: writing there must stay a write error, never a silent loss.
constexpr int DISCARD_OUTPUT = -2;
void flush_window();
void write_buf(int fd, const void *buf, unsigned cnt);

[[noreturn]] void error(const char *m);
[[noreturn]] void read_error();
[[noreturn]] void write_error();
[[noreturn]] void abort_gzip();
// Test harnesses that must survive fatal errors (fuzz targets) may set this;
// abort_gzip calls it before exiting, and it must not return (it may longjmp).
extern void (*abort_hook)();
// A caller that has lines to show before any fatal report (error,
// read_error, write_error) may set this; it is called before the report.
extern void (*before_fatal_report)();
// A role that writes into a pipe of its own may take over the report of a
// failed write: write_error calls this first with the write's errno. When it
// returns, write_error reports as usual; it may also end the process itself.
extern void (*write_error_hook)(int err);

// Progress reports: when set, called with the byte count of every read from
// the input (fill_inbuf, file_read, copy_fully), at most once per buffer fill. The tool
// sets it only while a terminal shows a progress line (progress.cc).
extern void (*progress_hook)(unsigned n);

void display_ratio(counter_t num, counter_t den, FILE *file);
char *gz_basename(char *fname);
void clear_bufs();

// Library routines that the program itself does not call.
int copy(int in, int out);
void warn(const char *a, const char *b);
char *strlwr(char *s);
void make_simple_name(char *name);
voidp xmalloc(unsigned size);
char *add_envopt(int *argcp, char ***argvp, const char *env);

extern const std::array<ulg, 256> crc_32_tab;

// ---- byte output primitives (compressor) ---------------------------------------------
// Append 1, 2 or 4 bytes, least significant first, to outbuf; flush at OUTBUFSIZ.
inline void out_byte(unsigned c) {
    outbuf[outcnt++] = static_cast<uch>(c);
    if (outcnt == OUTBUFSIZ) flush_outbuf();
}
inline void out_short(unsigned w) {
    if (outcnt < OUTBUFSIZ - 2) {
        outbuf[outcnt++] = static_cast<uch>(w & 0xff);
        outbuf[outcnt++] = static_cast<uch>((w >> 8) & 0xff);
    } else {
        out_byte(w & 0xff);
        out_byte((w >> 8) & 0xff);
    }
}
inline void out_long(ulg n) {
    out_short(static_cast<unsigned>(n & 0xffff));
    out_short(static_cast<unsigned>((n >> 16) & 0xffff));
}

// ---- member writer (zip.cc) -----------------------------------------------------------
// One gzip member per call: header, DEFLATE data, CRC-32 and the running
// bytes_in. A read error on `in` is fatal (it must not end the member early).
int zip(int in, int out);
// The compressor's input function: up to `size` bytes from ifd (fewer only
// at end of input), folded into the member's CRC and added to bytes_in.
int file_read(char *buf, unsigned size);
// Threads that parse a member's input where it is a regular file read from
// its start (parallel.cc); 1: deflate() alone. The bytes are the same either
// way. zip_chunk: the input bytes of one piece of work (rounded down to a
// multiple of WSIZE, at least WSIZE); only the speed depends on it.
extern unsigned zip_threads;
extern unsigned zip_chunk;
// The length of fd's input when zip is to make the member on zip_threads
// threads, else -1 (one thread, one piece, another level than 4..9, no
// regular file, or not read from its start).
counter_t parallel_size(int fd);

// ---- match finder (deflate.cc) -------------------------------------------------------
constexpr unsigned MIN_LOOKAHEAD = MAX_MATCH + MIN_MATCH + 1;  // 262
constexpr unsigned MAX_DIST = WSIZE - MIN_LOOKAHEAD;            // 32506, farthest distance used
constexpr unsigned TOO_FAR = 4096;  // length-3 matches farther than this are dropped (lazy mode)

// One row per compression level.
struct config {
    ush good_length;  // previous match this long: walk only a quarter of the chain
    ush max_lazy;     // lazy: no search after a match this long; fast: longest match whose strings are inserted
    ush nice_length;  // stop the search at a match this long
    ush max_chain;    // chain entries walked per search
};
extern const std::array<config, 10> configuration_table;

// The parse state belongs to each thread, like window and prev (parallel.cc).
extern thread_local constinit unsigned strstart;     // window index of the current string
extern thread_local constinit unsigned lookahead;    // valid bytes from strstart on
extern thread_local constinit long block_start;      // window index of the current block's first byte; negative once slid out
extern thread_local constinit unsigned match_start;  // start of the last improving match found
extern thread_local constinit unsigned prev_length;  // best length at the previous position; a new match must beat it
extern thread_local constinit unsigned ins_h;        // hash of the 3 bytes at the insertion position
extern thread_local constinit int eofile;            // input exhausted
extern thread_local constinit counter_t window_origin;  // input offset of window[0]: WSIZE times the slides so far
extern int compr_level;
extern unsigned max_lazy_match, good_match, nice_match, max_chain_length;

void lm_init(int pack_level, ush *flags);
ulg deflate();
unsigned longest_match(unsigned cur_match);
void fill_window();

// ---- Huffman trees and block emission (trees.cc) --------------------------------------
constexpr int HEAP_SIZE = 2 * L_CODES + 1;  // 573

// A tree node: frequency while the tree is built, bit-reversed code after;
// parent index while built, code length after.
struct ct_data {
    union {
        ush freq;
        ush code;
    } fc;
    union {
        ush dad;
        ush len;
    } dl;
};

struct tree_desc {
    ct_data *dyn_tree;          // the tree being built
    const ct_data *static_tree; // the matching fixed code, or null
    const int *extra_bits;      // extra bits per code, from extra_base on
    int extra_base;             // first code that may have extra bits
    int elems;                  // number of leaves
    int max_length;             // longest code allowed
    int max_code;               // largest leaf with non-zero frequency (set by build_tree)
};

extern ct_data dyn_ltree[HEAP_SIZE];
extern ct_data dyn_dtree[2 * D_CODES + 1];
extern ct_data static_ltree[L_CODES + 2];
extern ct_data static_dtree[D_CODES];
extern ct_data bl_tree[2 * BL_CODES + 1];
extern tree_desc l_desc, d_desc, bl_desc;
extern ush bl_count[MAX_BITS + 1];
extern uint32_t opt_len;     // bits of the current block with dynamic codes (no block header)
extern uint32_t static_len;  // bits of the current block with the fixed codes (no block header)
extern unsigned last_lit;    // symbols in the current block
extern unsigned last_dist;   // matches in the current block
extern uch length_code[MAX_MATCH - MIN_MATCH + 1];
extern uch dist_code[512];

void ct_init(ush *attr, int *methodp);
int ct_tally(unsigned dist, unsigned lc);
ulg flush_block(const char *buf, ulg stored_len, int eof);
void init_block();
void build_tree(tree_desc *desc);
void gen_bitlen(tree_desc *desc);
void gen_codes(ct_data *tree, int max_code);
void scan_tree(ct_data *tree, int max_code);
void send_tree(ct_data *tree, int max_code);
int build_bl_tree();
void send_all_trees(int lcodes, int dcodes, int blcodes);
void compress_block(const ct_data *ltree, const ct_data *dtree);

// ---- bit writer (bits.cc) --------------------------------------------------------------
// Codes are packed least significant bit first into a 16-bit accumulator;
// a full accumulator goes to outbuf only when the next value arrives.
extern ush bi_buf;    // pending bits, filled from bit 0 up
extern int bi_valid;  // number of pending bits, 0..16
extern file_t zfile;  // output descriptor given to bi_init
// compressor input of this thread; file_read once bi_init ran
using read_fn = int (*)(char *buf, unsigned size);
extern thread_local constinit read_fn read_buf;

void bi_init(file_t zipfile);
// Appends the `length` (1..16) low bits of `value`; value has no higher bits.
inline void send_bits(unsigned value, int length) {
    if (bi_valid > 16 - length) {
        bi_buf = static_cast<ush>(bi_buf | (value << bi_valid));
        out_short(bi_buf);
        bi_buf = static_cast<ush>(static_cast<ush>(value) >> (16 - bi_valid));
        bi_valid += length - 16;
    } else {
        bi_buf = static_cast<ush>(bi_buf | (value << bi_valid));
        bi_valid += length;
    }
}
unsigned bi_reverse(unsigned code, int len);
void bi_windup();
void copy_block(const char *buf, unsigned len, int header);

// ---- member decoder (unzip.cc) ----------------------------------------------------------
int unzip(int in, int out);

// ---- inflate (inflate.cc) -----------------------------------------------------------------
// One entry of a decoding table built by huft_build: a 32-bit word whose
// fields inflate.cc describes, in the high half of a 64-bit value whose low
// half says where the next code's index lies. A table set is one array
// (first level, then sub-tables), released by huft_free.
using huft = uint64_t;

// Result codes: 0 success, 1 invalid data, 2 block type 3 or an
// over-subscribed code, 3 out of memory.
int inflate();
int inflate_block(int *e);
int inflate_stored();
int inflate_fixed();
int inflate_dynamic();
int inflate_codes(huft *tl, huft *td, int bl, int bd);
// Set by tests: inflate_codes runs its fast loop's portable variant even on
// processors that have the instructions of a faster one.
extern bool inflate_portable_only;
int huft_build(const unsigned *b, unsigned n, unsigned s, const ush *d, const ush *e, huft **t,
               int *m);
int huft_free(huft *t);
