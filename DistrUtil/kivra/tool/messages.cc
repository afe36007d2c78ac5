// messages.cc - the tool's one way to say something went wrong, and to read
// the answer to a question.
//
// Every message of the tool units has the shape "<name>: <text>", the name
// being the program's (progname) or, where a message is about a routine or a
// file, that name. Three forms keep the exact bytes of the messages that need
// them: report_errno is perror's "<path>: <reason>" (the reason alone for an
// empty path); the _apart forms start on a line of their own ("\n<name>:
// <text>"), for reports that follow the payload's output and the codec's
// fatal lines. The helpers are printf-checked, so a format and its arguments
// cannot drift apart, and the fatal ones are [[noreturn]] and end through
// abort_gzip, the codec's one fatal exit.
#include "kivra.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

void vreport_as(const char *who, const char *fmt, va_list ap, bool apart = false) {
    std::fprintf(stderr, apart ? "\n%s: " : "%s: ", who);
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

void report_errno(const char *who) {
    const char *why = std::strerror(errno);
    if (who == nullptr || who[0] == '\0') {
        std::fprintf(stderr, "%s\n", why);
    } else {
        report_as(who, "%s", why);
    }
}

void report_apart(const char *who, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    vreport_as(who, fmt, ap, true);
    va_end(ap);
}

void fail_apart(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    vreport_as(program_name(), fmt, ap, true);
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
