// messages.cc - the tool's one way to say something went wrong, and to read
// the answer to a question.
//
// Every one-line message of the tool units has the shape "<name>: <text>",
// the name being the program's (progname) or, where a message has always
// named a routine or a file, that name. The helpers are printf-checked, so a
// format and its arguments cannot drift apart, and the fatal ones are
// [[noreturn]] and end through abort_gzip, the codec's one fatal exit.
#include "kivra.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

void vreport_as(const char *who, const char *fmt, va_list ap) {
    std::fprintf(stderr, "%s: ", who);
    std::vfprintf(stderr, fmt, ap);
    std::fputc('\n', stderr);
}

const char *program_name() { return progname != nullptr ? progname : "kivra"; }

}  // namespace

void report(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    vreport_as(program_name(), fmt, ap);
    va_end(ap);
}

void report_as(const char *who, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    vreport_as(who, fmt, ap);
    va_end(ap);
}

void report_errno(const char *who) {
    const int err = errno;
    report_as(who, "%s", std::strerror(err));
}

void fail(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    vreport_as(program_name(), fmt, ap);
    va_end(ap);
    abort_gzip();
}

void fail_as(const char *who, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    vreport_as(who, fmt, ap);
    va_end(ap);
    abort_gzip();
}

bool read_answer(char *buf, int size) {
    if (std::fgets(buf, size, stdin) == nullptr) return false;
    if (std::strchr(buf, '\n') == nullptr) {
        int c;
        while ((c = std::getchar()) != EOF && c != '\n') {
        }
    }
    return true;
}
