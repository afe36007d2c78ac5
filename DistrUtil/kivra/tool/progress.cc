// progress.cc - a one-line progress indicator on a terminal while an archive
// is built or extracted.
//
// Only when standard error is a terminal and -q is not given: otherwise
// progress_start does nothing and every later call returns at once, so output
// to files and pipes stays exactly as it is. The line ("extracting NAME: 12.0 MiB of 40.0 MiB
// (30%), 8.1 MiB/s") is rewritten in place with a carriage return and, when the
// work ends, overwritten with blanks so that the next message starts on a clean
// line.
//
// The stream layer reports each read from its input through progress_hook
// (declared in stream.h): one call per buffer fill of the codec, about 32 KiB,
// and one per piece of a raw copy. The line is redrawn at most every REDRAW_NS, so the
// cost per report is one clock read. Drawing is best effort: a failed write to
// the terminal must not end an extraction, so it is not checked. A name comes
// from the archive: every byte of it that is not printable ASCII is shown as
// '?', so a stored name cannot send control sequences to the terminal.
#include "kivra.h"

#include <cstdio>
#include <cstring>
#include <ctime>
#include <unistd.h>

namespace {

constexpr long long REDRAW_NS = 200'000'000;  // at most five redraws a second
constexpr int NAME_SHOWN = 32;                // longest name shown, so the line stays short
constexpr size_t LINE_BUF = 160;

bool active;             // a line is being kept
char label[64];          // "building" or "extracting NAME"
counter_t total;         // bytes expected, or -1 when unknown
counter_t done;          // bytes reported so far
long long start_ns;      // clock at progress_start
long long last_draw_ns;  // clock at the last redraw
size_t drawn;            // length of the text on the line now

long long now_ns() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

// Formats n bytes as "123 B", "4.5 KiB", "12.0 MiB" or "1.2 GiB".
void human(char *out, size_t size, double n) {
    static const char *const units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
    int u = 0;
    while (n >= 1024 && u < 4) {
        n /= 1024;
        u++;
    }
    if (u == 0) {
        std::snprintf(out, size, "%.0f %s", n, units[u]);
    } else {
        std::snprintf(out, size, "%.1f %s", n, units[u]);
    }
}

void put(const char *s, size_t n) {
    if (write(STDERR_FILENO, s, n) < 0) {
        // best effort: see the head of this unit
    }
}

void draw(long long now) {
    char d[24], t[24], r[24];
    human(d, sizeof d, static_cast<double>(done));
    double secs = static_cast<double>(now - start_ns) / 1e9;
    human(r, sizeof r, secs > 0 ? static_cast<double>(done) / secs : 0);
    char line[LINE_BUF];
    int n;
    if (total >= 0) {
        human(t, sizeof t, static_cast<double>(total));
        int pct = total > 0 ? static_cast<int>(done * 100 / total) : 100;
        if (pct > 100) pct = 100;
        n = std::snprintf(line, sizeof line, "\r%s: %s of %s (%d%%), %s/s", label, d, t, pct, r);
    } else {
        n = std::snprintf(line, sizeof line, "\r%s: %s, %s/s", label, d, r);
    }
    if (n < 0) return;
    size_t len = static_cast<size_t>(n) < sizeof line ? static_cast<size_t>(n) : sizeof line - 1;
    // Blanks over what a longer earlier line left.
    size_t text = len - 1;
    while (text < drawn && len < sizeof line - 1) {
        line[len++] = ' ';
        text++;
    }
    put(line, len);
    drawn = text;
    last_draw_ns = now;
}

// progress_hook while a line is kept: counts n more bytes done.
void hook(unsigned n) {
    if (!active) return;
    done += n;
    long long now = now_ns();
    if (now - last_draw_ns >= REDRAW_NS) draw(now);
}

}  // namespace

void progress_start(const char *what, const char *name, counter_t expected, counter_t already) {
    if (active || quiet || !isatty(STDERR_FILENO)) return;
    if (name != nullptr) {
        std::snprintf(label, sizeof label, "%s %.*s", what, NAME_SHOWN, name);
    } else {
        std::snprintf(label, sizeof label, "%s", what);
    }
    for (char *c = label; *c != '\0'; c++) {
        if (*c < ' ' || *c > '~') *c = '?';
    }
    total = expected;
    done = already;
    drawn = 0;
    active = true;
    start_ns = now_ns();
    draw(start_ns);
    progress_hook = hook;
}

void progress_clear() {
    if (!active || drawn == 0) return;
    char line[LINE_BUF];
    size_t n = drawn < sizeof line - 2 ? drawn : sizeof line - 2;
    line[0] = '\r';
    std::memset(line + 1, ' ', n);
    line[n + 1] = '\r';
    put(line, n + 2);
    drawn = 0;
}

void progress_end() {
    if (!active) return;
    progress_clear();
    progress_hook = nullptr;
    active = false;
}
