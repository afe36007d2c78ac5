// fuzz_inflate.cc - the input as raw DEFLATE data given to inflate() directly,
// the output discarded (DISCARD_OUTPUT).
//
// Beside fuzz_member this spends every mutation on the compressed data (no
// header to get past, no trailer to match) and checks what inflate itself
// promises:
//  - the result is one of its codes 0, 1 or 2; 3 (out of memory) cannot be
//    right for inputs this small;
//  - the input position stays within the buffered bytes and the input, also
//    after unused whole bytes are given back at the end;
//  - on success every byte of the window has been flushed.
#include <cstdint>
#include <cstring>

#include "fuzz_kit.h"
#include "stream.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzzkit::init_once();
    clear_bufs();
    std::memset(window, 0, sizeof window);
    std::strcpy(ifname, "fuzz-input");
    std::strcpy(ofname, "stdout");
    ifd = fuzzkit::input_fd(data, size);
    ofd = DISCARD_OUTPUT;
    updcrc(nullptr, 0);

    volatile int result = -1;
    if (setjmp(fuzzkit::escape) == 0) {
        fuzzkit::arm();
        result = inflate();
    } else {
        // The input ended inside the data; the counters describe the failed fill.
        fuzzkit::disarm();
        return 0;
    }
    fuzzkit::disarm();

    FUZZ_CHECK(inptr <= insize, "inptr %u beyond insize %u", inptr, insize);
    const long long pos = bytes_in - insize + inptr;
    FUZZ_CHECK(pos >= 0 && pos <= static_cast<long long>(size), "input position %lld outside 0..%zu", pos,
               size);
    FUZZ_CHECK(result >= 0 && result <= 2, "inflate returned %d", result);
    if (result == 0) {
        FUZZ_CHECK(outcnt == 0, "%u bytes left unflushed in the window", outcnt);
        // Shortest stream: a final fixed block holding only its end code, 10 bits.
        FUZZ_CHECK(pos >= 2, "a stream of %lld bytes was accepted", pos);
    }
    return 0;
}
