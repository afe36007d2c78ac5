// listing.cc - option -l: for each archive, its trailer strings and, when the
// payload is compressed, one line of statistics under a column header that is
// printed once per run.
//
// The payload is read through standard input (descriptor 0, which is ifd in
// this role), so the member header reader works exactly as it does when
// extracting. The sizes come from the file itself: the compressed size is the
// whole payload, the uncompressed size and CRC are those in the last member's
// trailer (the last 8 bytes of the file, read by open_archive); from 4 GiB on
// the size is the exact total that the builder recorded in the trailer.
//
// The strings and the stored name come from whoever built the archive. On a
// terminal their control characters are shown as C escapes (\n, \r, \t, \a,
// \b, \f, \v, octal such as \033 for the rest, and \\ for a backslash), so a
// hostile archive cannot drive the terminal; through a pipe or into a file
// they are written byte for byte.
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

// Writes s to standard output, escaped as the unit comment says when
// escape_controls is set.
void put_text(const char *s) {
    if (!escape_controls) {
        std::fputs(s, stdout);
        return;
    }
    for (; *s != '\0'; s++) {
        const unsigned char c = static_cast<unsigned char>(*s);
        if (const char *named = std::strchr(NAMED_CONTROLS, c); named != nullptr) {
            std::putchar('\\');
            std::putchar(CONTROL_LETTERS[named - NAMED_CONTROLS]);
        } else if (c < 0x20 || c == 0x7f) {
            std::printf("\\%03o", c);
        } else {
            std::putchar(c);
        }
    }
}

// One "<label><text>" line.
void put_line(const char *label, const char *text) {
    std::fputs(label, stdout);
    put_text(text);
    std::putchar('\n');
}

void print_statistics(const ArchiveEnd &end) {
    if (end.known) {
        bytes_in = end.payload_size;
        bytes_out = end.total;
    } else {
        // No sound values to show: -1 for both sizes, ratio of 0 over 0.
        bytes_in = -1;
        bytes_out = -1;
    }
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
    std::printf("%9lld %9lld ", static_cast<long long>(bytes_in), static_cast<long long>(bytes_out));
    if (end.known) {
        display_ratio(header_bytes + bytes_out - bytes_in, bytes_out, stdout);
    } else {
        display_ratio(0, 0, stdout);
    }
    std::putchar(' ');
    put_text(ofname);
    std::putchar('\n');
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
    // Standard input becomes the archive at its payload (a duplicate shares
    // the file offset). fd itself is not needed any more: keeping it would
    // cost one descriptor per archive listed.
    if (fd != 0) {
        dup2(fd, 0);
        close(fd);
    }
    ifd = 0;

    const bool compressed = get_feature(NOCOMPR_FLAG) == nullptr;
    if (compressed && get_method(ifd) == -1) {
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
