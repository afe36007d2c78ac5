// stream.h - the shared stream layer of kivra's codec.
//
// Every byte that is compressed or decompressed passes through the
// process-wide buffers and counters declared here. A process runs in one
// direction only (the builder compresses, the extractor and the listing
// decompress), so the same static buffers serve both directions with
// different roles; see the table at each buffer.
//
// This header is the only one the codec units (util, zip, deflate, trees,
// bits, unzip, inflate) include. They never include tool headers; the tool
// reaches the codec through the declarations below.
#pragma once

#include <array>
#include <cstdio>

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
constexpr unsigned OUTBUF_EXTRA = 2048;    // slack after outbuf (never reached)
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
//   prev     unused                                 hash-chain links (low half), heads (high half)
extern uch inbuf[INBUFSIZ + INBUF_EXTRA];
extern uch outbuf[OUTBUFSIZ + OUTBUF_EXTRA];
extern uch window[2 * WSIZE + WINDOW_SLACK];
extern ush d_buf[DIST_BUFSIZE];
extern ush prev[2 * WSIZE];
inline ush *const head = prev + WSIZE;  // hash-chain heads

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
extern char *progname;       // program name that starts every message
extern int exit_code;        // exit status of the listing and builder roles
extern int quiet;            // suppresses some warnings; never set by the program
extern int level;            // compression level, 9 for the whole run
extern int save_orig_name;   // store the input's name in each member: 1
extern int method;           // compression method of the current member (initially 8)
extern long time_stamp;      // member modification time

constexpr int DEFLATED = 8;

// ---- CRC-32, buffered input, output paths, fatal paths (util.cc) ---------------------
ulg updcrc(const uch *s, unsigned n);
int fill_inbuf(int eof_ok);
// The next input byte: one comparison and one array read on the fast path.
inline int in_byte() { return inptr < insize ? inbuf[inptr++] : fill_inbuf(0); }
void flush_outbuf();
void flush_window();
void write_buf(int fd, const void *buf, unsigned cnt);

[[noreturn]] void error(const char *m);
[[noreturn]] void read_error();
[[noreturn]] void write_error();
[[noreturn]] void abort_gzip();
// Test harnesses that must survive fatal errors (fuzz targets) may set this;
// abort_gzip calls it before exiting, and it must not return (it may longjmp).
extern void (*abort_hook)();

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
int zip(int in, int out);
int file_read(char *buf, unsigned size);

// ---- match finder (deflate.cc) -------------------------------------------------------

// ---- Huffman trees and block emission (trees.cc) --------------------------------------

// ---- bit writer (bits.cc) --------------------------------------------------------------

// ---- member decoder (unzip.cc) ----------------------------------------------------------
int unzip(int in, int out);

// ---- inflate (inflate.cc) -----------------------------------------------------------------
// One entry of a Huffman decoding table.
//   e  kind: 0..13 a length/distance base with e extra bits, 15 end of block,
//      16 literal, 99 invalid code, 17 and up a link to a sub-table indexed by
//      e - 16 further bits
//   b  input bits the entry consumes (for a link: the bits of its own level)
//   v  n: literal, base or code-length symbol; t: the sub-table of a link
// Every table array has one extra entry in front whose v.t chains the arrays
// of one huft_build call, so that huft_free can release them all.
struct huft {
    uch e;
    uch b;
    union {
        ush n;
        huft *t;
    } v;
};

// Result codes: 0 success, 1 invalid data, 2 block type 3 or an
// over-subscribed code, 3 out of memory.
int inflate();
int inflate_block(int *e);
int inflate_stored();
int inflate_fixed();
int inflate_dynamic();
int inflate_codes(huft *tl, huft *td, int bl, int bd);
int huft_build(const unsigned *b, unsigned n, unsigned s, const ush *d, const ush *e, huft **t,
               int *m);
int huft_free(huft *t);
