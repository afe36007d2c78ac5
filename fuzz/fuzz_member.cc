// fuzz_member.cc - the input as one gzip member, decoded the way the
// extraction driver checks a payload: get_method, then unzip, the output
// discarded (DISCARD_OUTPUT).
//
// Truncated and corrupt members end in the fatal paths; the kit's escape
// brings control back here. Checked on every input:
//  - a rejected header (-1) consumed at most the magic and method bytes and
//    set exit_code to 1;
//  - ofname stays NUL-terminated inside its 1024 bytes;
//  - a member that verifies was read no further than the input reaches, and
//    the 8 bytes just before the input position are the trailer that matched:
//    the output's CRC and its length modulo 2^32. This pins the position that
//    inflate leaves after giving back unused whole bytes.
#include <cstdint>
#include <cstring>

#include "fuzz_kit.h"
#include "kivra.h"

namespace {

uint32_t le32(const uint8_t *p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

// Bytes taken from the input so far: all fills minus what is still unread.
long long input_position() { return bytes_in - insize + inptr; }

void reset_decoder_state() {
    clear_bufs();
    // A fresh process has a zero window; matches may reach back into it.
    std::memset(window, 0, sizeof window);
    part_nb = 0;
    exit_code = 0;
    time_stamp = 0;
    to_stdout = 0;
    list = 0;
    verbose = 1;  // also run the verbose header messages
    std::strcpy(ifname, "fuzz-input");
    std::strcpy(ofname, "stdout");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzzkit::init_once();
    reset_decoder_state();
    const int in = fuzzkit::input_fd(data, size);
    const int out = DISCARD_OUTPUT;
    ifd = in;

    volatile int header = 0;
    volatile int result = -1;
    if (setjmp(fuzzkit::escape) == 0) {
        fuzzkit::arm();
        header = get_method(in);
        if (header == DEFLATED) result = unzip(in, out);
    } else {
        // A fatal error; after an end-of-input the buffer counters describe
        // the failed fill, not a position, so there is nothing more to check.
        fuzzkit::disarm();
        FUZZ_CHECK(std::memchr(ofname, 0, sizeof ofname) != nullptr, "ofname is not terminated");
        return 0;
    }
    fuzzkit::disarm();

    FUZZ_CHECK(std::memchr(ofname, 0, sizeof ofname) != nullptr, "ofname is not terminated");
    FUZZ_CHECK(inptr <= insize, "inptr %u beyond insize %u", inptr, insize);
    const long long pos = input_position();
    FUZZ_CHECK(pos >= 0 && pos <= static_cast<long long>(size), "input position %lld outside 0..%zu", pos,
               size);
    if (header == -1) {
        FUZZ_CHECK(exit_code == 1, "rejected header left exit_code %d", exit_code);
        FUZZ_CHECK(pos <= 3, "rejected header consumed %lld bytes", pos);
    }
    if (result == 0) {
        // Smallest member: 10 header bytes, a 2-byte empty block, 8 trailer bytes.
        FUZZ_CHECK(pos >= 20, "verified member ends at %lld", pos);
        const uint8_t *trailer = data + pos - 8;
        FUZZ_CHECK(le32(trailer + 4) == static_cast<uint32_t>(bytes_out),
                   "length before the input position is %u, output was %lld bytes", le32(trailer + 4),
                   bytes_out);
        const uint32_t crc = static_cast<uint32_t>(updcrc(window, 0));
        FUZZ_CHECK(le32(trailer) == crc, "CRC before the input position is %08x, output's is %08x",
                   le32(trailer), crc);
    }
    return 0;
}
