// util.cc - the stream layer: process-wide buffers and counters, CRC-32,
// buffered reading of the input descriptor, the two output paths (the
// compressor's outbuf and the decompressor's window) and the fatal paths.
//
// Everything is static storage that lives for the whole run. Fatal errors end
// the process at once with status 1; nothing is cleaned up on that path, and
// output already written stays written.
#include "stream.h"

#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

// ---- buffers and counters ---------------------------------------------------------
uch inbuf[INBUFSIZ + INBUF_EXTRA];
uch outbuf[OUTBUFSIZ + OUTBUF_EXTRA];
uch window[2 * WSIZE + WINDOW_SLACK];
ush d_buf[DIST_BUFSIZE];
ush prev[2 * WSIZE];

unsigned insize;
unsigned inptr;
unsigned outcnt;
counter_t bytes_in;
counter_t bytes_out;
counter_t header_bytes;
void (*progress_hook)(unsigned n);  // progress reports of reads, see stream.h

// ---- I/O identity and run-wide values ----------------------------------------------
int ifd;
int ofd;
char ifname[1024];
char ofname[1024];
char *progname;
int exit_code;
int quiet;
int level = 9;
int save_orig_name = 1;
int method = DEFLATED;
long long time_stamp;

// ---- CRC-32 --------------------------------------------------------------------------
// Byte-wise table of the reflected CRC-32 (polynomial 0xEDB88320), built at
// compile time: entry n is n shifted right 8 times, XORing the polynomial in
// whenever a 1 bit falls out.
namespace {
constexpr std::array<ulg, 256> make_crc_table() {
    std::array<ulg, 256> t{};
    for (ulg n = 0; n < 256; n++) {
        ulg c = n;
        for (int k = 0; k < 8; k++) c = (c & 1) ? 0xedb88320UL ^ (c >> 1) : c >> 1;
        t[n] = c;
    }
    return t;
}
static_assert(make_crc_table()[1] == 0x77073096UL && make_crc_table()[255] == 0x2d02ef8dUL);

ulg crc_register = 0xffffffffUL;  // non-inverted running register
}  // namespace

const std::array<ulg, 256> crc_32_tab = make_crc_table();

// A null s resets the register and returns 0 (the CRC of no data); otherwise
// the n bytes are folded in and the finished CRC so far is returned. n == 0
// reads the current CRC without changing it. One register serves the process.
ulg updcrc(const uch *s, unsigned n) {
    if (s == nullptr) {
        crc_register = 0xffffffffUL;
        return 0;
    }
    ulg c = crc_register;
    while (n--) c = crc_32_tab[(c ^ *s++) & 0xff] ^ (c >> 8);
    crc_register = c;
    return c ^ 0xffffffffUL;
}

// ---- buffered input ---------------------------------------------------------------------
// Refills inbuf completely (short reads from pipes simply continue) and returns
// its first byte. Nothing read: -1 when eof_ok, else fatal. A read error after
// some bytes arrived in this fill ends the fill quietly; the next fill reports it.
int fill_inbuf(int eof_ok) {
    insize = 0;
    errno = 0;
    do {
        ssize_t len = read(ifd, reinterpret_cast<char *>(inbuf) + insize, INBUFSIZ - insize);
        if (len == 0 || len == -1) break;
        insize += static_cast<unsigned>(len);
    } while (insize < INBUFSIZ);

    if (insize == 0) {
        if (eof_ok) return -1;
        read_error();
    }
    bytes_in += insize;
    if (progress_hook != nullptr) progress_hook(insize);
    inptr = 1;
    return inbuf[0];
}

void clear_bufs() {
    outcnt = 0;
    insize = inptr = 0;
    bytes_in = bytes_out = 0;
}

// ---- output paths ---------------------------------------------------------------------------
// Writes all cnt bytes, completing partial writes; a failed write is fatal.
void write_buf(int fd, const void *buf, unsigned cnt) {
    const char *p = static_cast<const char *>(buf);
    ssize_t n;
    while ((n = write(fd, p, cnt)) != static_cast<ssize_t>(cnt)) {
        if (n == -1) {
            if (errno == EINTR) continue;
            write_error();
        }
        p += n;
        cnt -= static_cast<unsigned>(n);
    }
}

void flush_outbuf() {
    if (outcnt == 0) return;
    write_buf(ofd, outbuf, outcnt);
    bytes_out += outcnt;
    outcnt = 0;
}

// The window keeps its contents: the decoder goes on using them as history.
void flush_window() {
    if (outcnt == 0) return;
    updcrc(window, outcnt);
    write_buf(ofd, window, outcnt);
    bytes_out += outcnt;
    outcnt = 0;
}

// ---- fatal paths --------------------------------------------------------------------------------
void (*abort_hook)();

void abort_gzip() {
    if (abort_hook != nullptr) abort_hook();
    std::exit(1);
}

void error(const char *m) {
    std::fprintf(stderr, "\n%s: %s: %s\n", progname, ifname, m);
    abort_gzip();
}

void read_error() {
    int e = errno;
    std::fprintf(stderr, "\n%s: ", progname);
    if (e != 0) {
        errno = e;
        std::perror(ifname);
    } else {
        std::fprintf(stderr, "%s: unexpected end of file\n", ifname);
    }
    abort_gzip();
}

void write_error() {
    int e = errno;
    std::fprintf(stderr, "\n%s: ", progname);
    errno = e;
    std::perror(ofname);
    abort_gzip();
}

// ---- ratio printer ------------------------------------------------------------------------------
// Prints num/den as a signed per-mille value with one decimal, truncated:
// " 50.0%", "-33.3%", "  0.5%". Large denominators are divided first so the
// product cannot overflow; the threshold is the same in both builds.
void display_ratio(counter_t num, counter_t den, FILE *file) {
    counter_t ratio;
    if (den == 0) {
        ratio = 0;
    } else if (den < 2147483) {
        ratio = 1000 * num / den;
    } else {
        ratio = num / (den / 1000);
    }
    if (ratio < 0) {
        std::putc('-', file);
        ratio = -ratio;
    } else {
        std::putc(' ', file);
    }
    std::fprintf(file, "%2lld.%1lld%%", ratio / 10, ratio % 10);
}

char *gz_basename(char *fname) {
    char *p = std::strrchr(fname, '/');
    return p != nullptr ? p + 1 : fname;
}

// ---- library routines the program does not call ----------------------------------------------------
// Copies the insize bytes already in inbuf, then everything readable from
// `in`, to `out`. The buffered part may be empty: the reads happen anyway.
int copy(int in, int out) {
    errno = 0;
    for (;;) {
        if (insize != 0) {
            write_buf(out, inbuf, insize);
            bytes_out += insize;
        }
        ssize_t n = read(in, inbuf, INBUFSIZ);
        if (n <= 0) {
            insize = 0;
            if (n < 0 && errno != 0) read_error();
            break;
        }
        insize = static_cast<unsigned>(n);
    }
    bytes_in = bytes_out;
    return 0;
}

void warn(const char *a, const char *b) {
    if (!quiet) std::fprintf(stderr, "%s: %s: warning: %s%s\n", progname, ifname, a, b);
    if (exit_code == 0) exit_code = 2;
}

char *strlwr(char *s) {
    for (char *t = s; *t; t++) {
        if (*t >= 'A' && *t <= 'Z') *t = static_cast<char>(*t - 'A' + 'a');
    }
    return s;
}

// Replaces every '.' before the last one by '_'; a lone leading '.' too.
void make_simple_name(char *name) {
    char *p = std::strrchr(name, '.');
    if (p == nullptr) return;
    if (p == name) p++;
    do {
        if (*--p == '.') *p = '_';
    } while (p != name);
}

voidp xmalloc(unsigned size) {
    voidp cp = std::malloc(size);
    if (cp == nullptr) error("out of memory");
    return cp;
}

// Splits the value of environment variable env at blanks and tabs and inserts
// the words as options after the program name in a new argument vector.
char *add_envopt(int *argcp, char ***argvp, const char *env) {
    static const char kSeparators[] = " \t";
    const char *value = std::getenv(env);
    if (value == nullptr) return nullptr;

    char *copy_of_env = static_cast<char *>(xmalloc(static_cast<unsigned>(std::strlen(value) + 1)));
    std::strcpy(copy_of_env, value);

    int nargc = 0;
    for (char *p = copy_of_env; *p; nargc++) {
        p += std::strspn(p, kSeparators);
        if (*p == '\0') break;
        p += std::strcspn(p, kSeparators);
        if (*p) *p++ = '\0';
    }
    if (nargc == 0) {
        std::free(copy_of_env);
        return nullptr;
    }
    if (*argcp <= 0) error("argc<=0");
    *argcp += nargc;

    char **oargv = *argvp;
    char **nargv = static_cast<char **>(std::calloc(static_cast<size_t>(*argcp + 1), sizeof(char *)));
    if (nargv == nullptr) error("out of memory");
    *argvp = nargv;

    int oargc = *argcp - nargc;
    *nargv++ = *oargv++;  // the program name stays first
    char *p = copy_of_env;
    for (int i = 0; i < nargc; i++) {
        p += std::strspn(p, kSeparators);
        *nargv++ = p;
        while (*p++) {
        }
    }
    while (--oargc > 0) *nargv++ = *oargv++;
    *nargv = nullptr;
    return copy_of_env;
}
