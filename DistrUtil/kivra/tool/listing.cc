// listing.cc - option -l: for each archive, its trailer strings and, when the
// payload is compressed, one line of statistics under a column header that is
// printed once per run.
//
// The member header is read through ifd, the archive's descriptor, as when
// extracting; the descriptor is closed when the archive has been listed. The
// sizes come from the file itself: the compressed size is the whole payload,
// the uncompressed size and CRC are those in the last member's trailer (the
// last 8 bytes of the file, read by open_archive); from 4 GiB on the size is
// the exact total that the builder recorded in the trailer.
//
// The strings and the stored name come from whoever built the archive. On a
// terminal their control characters are shown as C escapes (\n, \r, \t, \a,
// \b, \f, \v, octal such as \033 for the rest, and \\ for a backslash), and
// so are, byte by byte in octal, the C1 controls (U+0080 to U+009F, such as
// \302\233) and every byte that is not part of valid UTF-8 (such as a lone
// \233): a hostile archive cannot drive the terminal. Through a pipe or into a
// file they are written byte for byte.
#include <cstdio>
#include <cstring>
#include <ctime>
#include <unistd.h>

#include "kivra.h"

int first_time = 1;  // the column header is still due

// Method names by header method number, printed with "%5s" in verbose lines.
const char *const methods[9] = {"store", "compr", "pack ", "lzh  ", "", "", "", "", "defla"};

namespace {

constexpr size_t DATE_OFFSET = 4;   // ctime text after the weekday
constexpr size_t DATE_LENGTH = 12;  // "Jan  1 00:00"

bool escape_controls;  // standard output is a terminal
// Control characters with a one-letter escape, and their letters.
constexpr char NAMED_CONTROLS[] = "\a\b\t\n\v\f\r\\";
constexpr char CONTROL_LETTERS[] = "abtnvfr\\";
static_assert(sizeof NAMED_CONTROLS == sizeof CONTROL_LETTERS);

// Length of the valid UTF-8 sequence that starts at s (untrusted text ending
// in a NUL): 2 to 4 for a character from U+0080 on, 0 when the bytes there
// are no such character (a stray continuation byte, a cut sequence, an
// overlong form, a surrogate, beyond U+10FFFF).
size_t utf8_length(const unsigned char *s) {
    unsigned len, lo = 0x80, hi = 0xbf;  // bounds of the second byte
    if (s[0] >= 0xc2 && s[0] <= 0xdf) {
        len = 2;
    } else if (s[0] >= 0xe0 && s[0] <= 0xef) {
        len = 3;
        if (s[0] == 0xe0) lo = 0xa0;  // overlong
        if (s[0] == 0xed) hi = 0x9f;  // surrogates
    } else if (s[0] >= 0xf0 && s[0] <= 0xf4) {
        len = 4;
        if (s[0] == 0xf0) lo = 0x90;  // overlong
        if (s[0] == 0xf4) hi = 0x8f;  // beyond U+10FFFF
    } else {
        return 0;
    }
    if (s[1] < lo || s[1] > hi) return 0;
    for (unsigned i = 2; i < len; i++) {
        if (s[i] < 0x80 || s[i] > 0xbf) return 0;
    }
    return len;
}

// Writes s to standard output, escaped as the unit comment says when
// escape_controls is set.
void put_text(const char *s) {
    if (!escape_controls) {
        std::fputs(s, stdout);
        return;
    }
    const auto *u = reinterpret_cast<const unsigned char *>(s);
    while (*u != '\0') {
        const unsigned char c = *u;
        size_t shown = 1, escaped = 0;  // bytes taken, and how many of them in octal
        if (const char *named = std::strchr(NAMED_CONTROLS, c); named != nullptr) {
            std::putchar('\\');
            std::putchar(CONTROL_LETTERS[named - NAMED_CONTROLS]);
        } else if (c < 0x20 || c == 0x7f) {
            escaped = 1;
        } else if (c < 0x80) {
            std::putchar(c);
        } else if ((shown = utf8_length(u)) == 0) {
            shown = escaped = 1;
        } else if (c == 0xc2 && u[1] < 0xa0) {
            escaped = 2;  // a C1 control
        } else {
            std::fwrite(u, 1, shown, stdout);
        }
        for (size_t i = 0; i < escaped; i++) std::printf("\\%03o", u[i]);
        u += shown;
    }
}

// One "<label><text>" line.
void put_line(const char *label, const char *text) {
    std::fputs(label, stdout);
    put_text(text);
    std::putchar('\n');
}

void print_statistics(const ArchiveEnd &end) {
    // Without a known end there are no sound values to show: -1 for both
    // sizes, a ratio of 0 over 0.
    const counter_t compressed = end.known ? end.payload_size : -1;
    const counter_t uncompressed = end.known ? end.total : -1;
    const ulg crc = end.known ? end.crc : 0xffffffffUL;

    if (verbose) {
        const time_t when = static_cast<time_t>(time_stamp);
        char date[DATE_LENGTH + 1] = "";
        const char *text = std::ctime(&when);
        if (text != nullptr && std::strlen(text) >= DATE_OFFSET + DATE_LENGTH) {
            std::memcpy(date, text + DATE_OFFSET, DATE_LENGTH);
            date[DATE_LENGTH] = '\0';
        }
        const int m = method >= 0 && method < 9 ? method : DEFLATED;
        std::printf("%5s %08lx %11s ", methods[m], crc & 0xffffffffUL, date);
    }
    std::printf("%9lld %9lld ", static_cast<long long>(compressed), static_cast<long long>(uncompressed));
    if (end.known) {
        display_ratio(header_bytes + uncompressed - compressed, uncompressed, stdout);
    } else {
        display_ratio(0, 0, stdout);
    }
    std::putchar(' ');
    put_text(ofname);
    std::putchar('\n');
}

// Lists the archive open at fd (ifd), whose end open_archive read; verdict
// is what the signature check with -k found (0 without -k).
void list_archive(int fd, const ArchiveEnd &end, int verdict) {
    const bool compressed = get_feature(NOCOMPR_FLAG) == nullptr;
    if (compressed && get_method(fd) == -1) {
        exit_code = 1;
        return;
    }
    // A compressed payload shorter than its first member's header and trailer
    // was cut: its last 8 bytes would be read from the header as sizes.
    if (compressed && end.known && end.payload_size < header_bytes) {
        report("%s: member cut short after its header", ifname);
        exit_code = 1;
        return;
    }

    escape_controls = isatty(STDOUT_FILENO) != 0;
    if (features[0] != '\0') put_line("Feature: ", features);
    put_line("Comment: ", comment);
    put_line("    Run: ", run_program);
    put_line("Extract: ", pipe_program[0] != '\0' ? pipe_program : DEFAULT_EXTRACT);
    list_signature(verdict);

    if (!compressed) {
        std::printf("Statistics unavailable because data was not compressed\n");
        return;
    }
    if (first_time) {
        first_time = 0;
        if (verbose) std::printf("method  crc     date  time  ");
        std::printf("compressed  uncompr. ratio uncompressed_name\n");
    }
    print_statistics(end);
}

}  // namespace

void do_list(char *path) {
    ArchiveEnd end;
    const int fd = open_archive(path, &end);
    if (fd == -1) {
        exit_code = 1;
        return;
    }
    // With -k the signature is checked (one read of the archive); the
    // listing goes on either way and says what came of it.
    const int verdict = trusted_keys[0] != '\0' ? check_signature(fd, path) : 0;
    if (verdict != 0) exit_code = 1;
    list_archive(fd, end, verdict);
    close(fd);
    ifd = -1;
}
