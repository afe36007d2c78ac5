// io.cc - the one way kivra reads and writes a descriptor completely.
//
// The system may split any read or write: a pipe hands over what it has, a
// signal may interrupt a call before it transfers anything. Every unit goes
// through these helpers so that one rule holds everywhere: a call interrupted
// by a signal (EINTR) is simply made again, a partial transfer continues, and
// only end of file or a real error ends a transfer early. The helpers report;
// callers decide whether a failure is fatal, and the fatal paths of util.cc
// (read_error, write_error) read errno as these helpers leave it.
#include "stream.h"

#include <cerrno>
#include <unistd.h>

size_t read_fully(int fd, void *buf, size_t n) {
    char *p = static_cast<char *>(buf);
    size_t got = 0;
    errno = 0;
    while (got < n) {
        const ssize_t r = read(fd, p + got, n - got);
        if (r > 0) {
            got += static_cast<size_t>(r);
        } else if (r == 0) {
            errno = 0;
            break;
        } else if (errno != EINTR) {
            break;
        }
    }
    return got;
}

int tap_fd = -1;
void (*tap_hook)(const void *buf, size_t n);

int write_fully(int fd, const void *buf, size_t n) {
    const char *p = static_cast<const char *>(buf);
    const size_t whole = n;
    while (n > 0) {
        const ssize_t w = write(fd, p, n);
        if (w < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (w == 0) {
            errno = EIO;
            return -1;
        }
        p += w;
        n -= static_cast<size_t>(w);
    }
    if (fd == tap_fd && tap_hook != nullptr) tap_hook(buf, whole);
    return 0;
}

CopyEnd copy_until_end(int in, int out, counter_t *copied, bool count_progress, counter_t limit) {
    static char piece[COPY_PIECE];
    counter_t total = 0;
    for (;;) {
        size_t want = sizeof piece;
        if (limit != COPY_TO_END && limit - total < static_cast<counter_t>(want))
            want = static_cast<size_t>(limit - total);
        if (want == 0) return CopyEnd::done;
        const size_t n = read_fully(in, piece, want);
        const int read_errno = errno;
        if (n > 0) {
            if (write_fully(out, piece, n) != 0) return CopyEnd::write_failed;
            total += static_cast<counter_t>(n);
            if (copied != nullptr) *copied += static_cast<counter_t>(n);
            if (count_progress && progress_hook != nullptr) progress_hook(static_cast<unsigned>(n));
        }
        if (n < want) {
            errno = read_errno;
            return errno != 0 ? CopyEnd::read_failed : CopyEnd::done;
        }
    }
}

counter_t copy_fully(int in, int out, counter_t limit) {
    counter_t total = 0;
    switch (copy_until_end(in, out, &total, true, limit)) {
    case CopyEnd::read_failed: read_error();
    case CopyEnd::write_failed: write_error();
    case CopyEnd::done: break;
    }
    return total;
}
