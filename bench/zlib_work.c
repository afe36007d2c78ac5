/* zlib_work.c - the reference work for scripts/bench.sh: the same job the
 * kivra builder and extractor do, done by the system zlib in C.
 *
 *   zlib_work c FILE   compresses FILE at level 9 with gzip framing to stdout
 *   zlib_work d FILE   decodes the gzip members of FILE to stdout (CRC and
 *                      length checked by zlib)
 *
 * Both directions stream 64 KiB at a time through read()/write(), as the
 * tool does, so that CPU time compares like with like. zlib is a speed
 * baseline only; it is never linked into kivra. */
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>
#include <zlib.h>

enum { CHUNK = 65536 };
static unsigned char in[CHUNK];
static unsigned char out[CHUNK];

static void die(const char *what) {
    fprintf(stderr, "zlib_work: %s\n", what);
    exit(1);
}

static void write_all(const unsigned char *p, size_t n) {
    while (n != 0) {
        ssize_t w = write(1, p, n);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) die("write failed");
        p += w;
        n -= (size_t)w;
    }
}

static size_t read_some(int fd) {
    for (;;) {
        ssize_t r = read(fd, in, CHUNK);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) die("read failed");
        return (size_t)r;
    }
}

static void compress_fd(int fd) {
    z_stream z;
    memset(&z, 0, sizeof z);
    if (deflateInit2(&z, 9, Z_DEFLATED, 16 + MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK) die("deflateInit2");
    int flush;
    do {
        size_t n = read_some(fd);
        flush = n == 0 ? Z_FINISH : Z_NO_FLUSH;
        z.next_in = in;
        z.avail_in = (uInt)n;
        do {
            z.next_out = out;
            z.avail_out = CHUNK;
            if (deflate(&z, flush) == Z_STREAM_ERROR) die("deflate");
            write_all(out, CHUNK - z.avail_out);
        } while (z.avail_out == 0);
    } while (flush != Z_FINISH);
    deflateEnd(&z);
}

static void decompress_fd(int fd) {
    z_stream z;
    memset(&z, 0, sizeof z);
    if (inflateInit2(&z, 16 + MAX_WBITS) != Z_OK) die("inflateInit2");
    int ret = Z_OK;
    size_t n;
    while ((n = read_some(fd)) != 0) {
        z.next_in = in;
        z.avail_in = (uInt)n;
        while (z.avail_in != 0) {
            if (ret == Z_STREAM_END) inflateReset(&z); /* the next member */
            z.next_out = out;
            z.avail_out = CHUNK;
            ret = inflate(&z, Z_NO_FLUSH);
            if (ret != Z_OK && ret != Z_STREAM_END && ret != Z_BUF_ERROR) die("corrupt input");
            write_all(out, CHUNK - z.avail_out);
        }
    }
    /* Drain what is still buffered inside the stream. */
    while (ret == Z_OK) {
        z.next_out = out;
        z.avail_out = CHUNK;
        ret = inflate(&z, Z_NO_FLUSH);
        write_all(out, CHUNK - z.avail_out);
        if (z.avail_out == CHUNK) break;
    }
    if (ret != Z_STREAM_END) die("truncated input");
    inflateEnd(&z);
}

int main(int argc, char **argv) {
    if (argc != 3 || (strcmp(argv[1], "c") != 0 && strcmp(argv[1], "d") != 0)) {
        fprintf(stderr, "usage: zlib_work c|d FILE > OUT\n");
        return 2;
    }
    int fd = open(argv[2], O_RDONLY);
    if (fd < 0) die("cannot open input");
    if (argv[1][0] == 'c') compress_fd(fd); else decompress_fd(fd);
    close(fd);
    return 0;
}
