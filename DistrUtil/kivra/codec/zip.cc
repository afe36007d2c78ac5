// zip.cc - the member writer: one gzip member per input file.
//
// A member is the 10-byte header (magic, method 8, FNAME flag, time 0, extra
// flags from the match finder, OS 3), the base name of the input with its
// NUL, the DEFLATE data and the trailer: the CRC-32 of this member's input
// and the low 32 bits of bytes_in. bytes_in is never reset between members,
// so a later member's size field holds the total input of the run so far;
// the CRC restarts for every member. The DEFLATE data of a regular file may
// be made on zip_threads threads (parallel.cc): the same bytes.
#include "gzip_member.h"
#include "parallel.h"
#include "stream.h"

#include <cerrno>

namespace {
constexpr uch OS_CODE = 3;       // Unix

ulg crc;  // CRC-32 of the current member's input so far
}  // namespace

// Reads up to `size` bytes from ifd (fewer only at end of input), folds
// them into the CRC and counts them in bytes_in. A failed read ends the
// process: ending the member there would leave an archive silently missing
// data.
int file_read(char *buf, unsigned size) {
    const size_t len = read_fully(ifd, buf, size);
    if (errno != 0) read_error();
    if (len != 0) {
        crc = updcrc(reinterpret_cast<const uch *>(buf), static_cast<unsigned>(len));
        bytes_in += static_cast<counter_t>(len);
        if (progress_hook != nullptr) progress_hook(static_cast<unsigned>(len));
    }
    return static_cast<int>(len);
}

// Compresses everything readable from `in` into one member on `out`. The
// output buffer must be empty on entry (it is after every zip); it is
// flushed completely before returning. Always returns 0; failures are fatal.
int zip(int in, int out) {
    ush attr = 0;
    ush deflate_flags = 0;

    ifd = in;
    ofd = out;
    method = DEFLATED;

    outbuf[0] = gzip::MAGIC_0;
    outbuf[1] = gzip::MAGIC_1;
    outbuf[2] = static_cast<uch>(method);
    outbuf[3] = save_orig_name ? gzip::FLAG_NAME : 0;
    const uint32_t stamp = static_cast<uint32_t>(time_stamp);
    for (int k = 0; k < 4; k++) outbuf[4 + k] = static_cast<uch>(stamp >> (8 * k));
    outcnt = 8;

    const counter_t size = parallel_size(in);
    crc = updcrc(nullptr, 0);
    bi_init(out);
    ct_init(&attr, &method);
    lm_init(level, &deflate_flags);

    out_byte(deflate_flags & 0xff);
    out_byte(OS_CODE);
    if (save_orig_name) {
        const char *p = gz_basename(ifname);
        do {
            out_byte(static_cast<uch>(*p));
        } while (*p++);
    }
    header_bytes = static_cast<counter_t>(outcnt) + gzip::TRAILER_SIZE;

    if (size < 0) {
        deflate();
    } else {
        deflate_parallel(in, size);
    }

    out_long(crc);
    out_long(static_cast<ulg>(static_cast<uint32_t>(bytes_in)));
    flush_outbuf();
    return 0;
}
