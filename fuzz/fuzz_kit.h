// fuzz_kit.h - what the fuzz targets share: a real descriptor holding the
// input, quiet program messages, an escape from the fatal paths, and a check
// that fails loudly.
//
// The codec reads through ifd and writes through ofd, so every target hands it
// the fuzz input as a file (one memfd per process, rewritten for each input)
// and discards the output (DISCARD_OUTPUT: checked and counted, not written). The program's own messages are sent to
// /dev/null as well (set KIVRA_FUZZ_VERBOSE=1 to see them); sanitizer and
// libFuzzer reports are written to descriptor 2 directly and stay visible.
#pragma once

#include <csetjmp>
#include <cstddef>
#include <cstdint>

namespace fuzzkit {

// Once per process: program name for messages, quiet stderr.
void init_once();

// A descriptor positioned at offset 0 whose contents are exactly data[0, size).
int input_fd(const uint8_t *data, size_t size);

// Fatal stream errors (abort_gzip) return here instead of ending the process:
// a target calls setjmp(escape) and then arm(); disarm() when done. The jump
// abandons the frames between; every target runs with leak detection on, so
// a heap block that such a frame would have released shows as a leak.
extern std::jmp_buf escape;
void arm();
void disarm();

// Reports a broken invariant on descriptor 2 and aborts, so that libFuzzer
// and the replay driver both see a crash.
[[noreturn]] void fail(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

}  // namespace fuzzkit

#define FUZZ_CHECK(cond, ...)                   \
    do {                                        \
        if (!(cond)) fuzzkit::fail(__VA_ARGS__); \
    } while (0)
