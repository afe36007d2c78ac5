// bits.cc - the compressor's bit writer.
//
// DEFLATE streams are packed least significant bit first. Codes arrive here
// one by one from the block emitter and collect in a 16-bit accumulator
// (`bi_buf`, `bi_valid` bits valid, filled from bit 0 upwards); a full
// accumulator leaves as one little-endian 16-bit unit through out_short, and
// only when the next value arrives, so that send_bits does a single
// comparison and no output in the common case. The byte-level primitives
// (out_byte, out_short, out_long) live inline in stream.h.
#include "stream.h"

#include <cstring>

ush bi_buf;
int bi_valid;
file_t zfile;
thread_local constinit read_fn read_buf;

// Empties the accumulator for a new member and selects the input function:
// file_read unless the caller passes -1 (no file behind the compressor).
void bi_init(file_t zipfile) {
    zfile = zipfile;
    bi_buf = 0;
    bi_valid = 0;
    if (zfile != -1) read_buf = file_read;
}

// Reverses the `len` (1..15) low bits of `code`: canonical Huffman codes are
// built most significant bit first but sent least significant bit first.
unsigned bi_reverse(unsigned code, int len) {
    unsigned res = 0;
    do {
        res |= code & 1;
        code >>= 1;
        res <<= 1;
    } while (--len > 0);
    return res >> 1;
}

// Pads the pending bits with zeros to a byte boundary and writes them.
void bi_windup() {
    if (bi_valid > 8) {
        out_short(bi_buf);
    } else if (bi_valid > 0) {
        out_byte(bi_buf & 0xff);
    }
    bi_buf = 0;
    bi_valid = 0;
}

// Aligns to a byte, writes LEN and NLEN when `header` is set, then the `len`
// bytes of `buf`. The bytes go out in the same 16384-byte pieces that
// out_byte would produce, copied a run at a time.
void copy_block(const char *buf, unsigned len, int header) {
    bi_windup();
    if (header) {
        out_short(len & 0xffff);
        out_short(~len & 0xffff);
    }
    while (len != 0) {
        unsigned room = OUTBUFSIZ - outcnt;
        unsigned n = len < room ? len : room;
        std::memcpy(outbuf + outcnt, buf, n);
        outcnt += n;
        buf += n;
        len -= n;
        if (outcnt == OUTBUFSIZ) flush_outbuf();
    }
}
