// fuzz_kit.cc - shared plumbing of the fuzz targets; see fuzz_kit.h.
#include "fuzz_kit.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include "stream.h"

namespace fuzzkit {

std::jmp_buf escape;

namespace {

char prog_name[] = "kivra";

void write_all(int fd, const uint8_t *p, size_t n) {
    while (n > 0) {
        ssize_t w = write(fd, p, n);
        if (w <= 0) fail("cannot stage the input (%zu bytes left)", n);
        p += w;
        n -= static_cast<size_t>(w);
    }
}

[[noreturn]] void jump_back() { std::longjmp(escape, 1); }

}  // namespace

void init_once() {
    static bool done = false;
    if (done) return;
    done = true;
    progname = prog_name;
    const char *v = std::getenv("KIVRA_FUZZ_VERBOSE");
    if (v == nullptr || *v == '0') {
        // Only the FILE is replaced: descriptor 2 stays for sanitizer reports.
        FILE *sink = std::fopen("/dev/null", "w");
        if (sink != nullptr) stderr = sink;
    }
}

int input_fd(const uint8_t *data, size_t size) {
    static int fd = -1;
    if (fd < 0) {
        fd = memfd_create("kivra-fuzz-input", 0);
        if (fd < 0) fail("memfd_create failed");
    }
    if (ftruncate(fd, 0) != 0 || lseek(fd, 0, SEEK_SET) != 0) fail("cannot reset the input file");
    write_all(fd, data, size);
    if (lseek(fd, 0, SEEK_SET) != 0) fail("cannot rewind the input file");
    return fd;
}

void arm() { abort_hook = jump_back; }
void disarm() { abort_hook = nullptr; }

void fail(const char *fmt, ...) {
    char msg[512];
    va_list ap;
    va_start(ap, fmt);
    int n = std::vsnprintf(msg, sizeof msg - 1, fmt, ap);
    va_end(ap);
    if (n < 0) n = 0;
    if (n > static_cast<int>(sizeof msg) - 2) n = static_cast<int>(sizeof msg) - 2;
    msg[n++] = '\n';
    // Straight to descriptor 2: stderr may point at /dev/null.
    static const char prefix[] = "fuzz invariant broken: ";
    ssize_t r = write(2, prefix, sizeof prefix - 1);
    r = write(2, msg, static_cast<size_t>(n));
    (void)r;
    std::abort();
}

}  // namespace fuzzkit
