// unzip.cc - decodes the body of one gzip member and verifies its trailer.
//
// The header has already been read (get_method), so the input stands on the
// first byte of the DEFLATE data. inflate writes every uncompressed byte to
// ofd through flush_window, which also feeds the CRC and counts bytes_out;
// only then is the 8-byte trailer (CRC-32, length mod 2^32, little-endian)
// read and compared. Every failure is fatal, so a caller that gets 0 back
// has complete and verified output. Output already written stays written:
// the whole output of a corrupt member reaches the reader before the error.
// With out DISCARD_OUTPUT nothing is written: the member is only checked.
#include "gzip_member.h"
#include "stream.h"

int unzip(int in, int out) {
    ifd = in;
    ofd = out;
    updcrc(nullptr, 0);

    if (method != DEFLATED) error("internal error, invalid method");

    const int res = inflate();
    if (res == 3) error("out of memory");
    if (res != 0) error("invalid compressed data--format violated");

    uch buf[gzip::TRAILER_SIZE];
    for (uch &c : buf) c = static_cast<uch>(in_byte());
    const ulg orig_crc = gzip::le32(buf);
    const ulg orig_len = gzip::le32(buf + 4);

    // The CRC is checked first: a member wrong in both reports the CRC.
    if (orig_crc != (updcrc(buf, 0) & 0xffffffffUL)) error("invalid compressed data--crc error");
    if (orig_len != (static_cast<ulg>(bytes_out) & 0xffffffffUL)) {
        error("invalid compressed data--length error");
    }
    return 0;
}
