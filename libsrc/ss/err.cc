// err.cc - the library's error reports. Each routine prints "progname: " (when
// a program name is set) and a printf-style message to the error stream,
// optionally copies it to the catalog stream, and then returns, exits or
// aborts. Error-stream lines end in CR LF so that they read well on a raw
// terminal; catalog lines end in a plain LF. The routines report, they do not
// check: results of the writes are ignored.
#include "ss.h"

#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <memory>

FILE *_Errstrm;
FILE *Catstrm;
int er_catalog;

namespace {

FILE *error_stream() {
    return _Errstrm != nullptr ? _Errstrm : stderr;
}

// The catalog copy is made only when asked for and when there is a stream to
// take it; an unset stream is never written through.
FILE *catalog_stream() {
    return er_catalog != 0 ? Catstrm : nullptr;
}

void put_prefix(FILE *f) {
    if (progname != nullptr) std::fprintf(f, "%s: ", progname);
}

void put_message(FILE *f, const char *fmt, va_list ap) __attribute__((format(printf, 2, 0)));
void put_message(FILE *f, const char *fmt, va_list ap) {
    va_list copy;
    va_copy(copy, ap);
    std::vfprintf(f, fmt, copy);
    va_end(copy);
}

// `fmt` without a line feed at its very end; the caller's text stays as it is.
// Should the copy not be possible, the format is used unchanged (the message
// then merely keeps its line feed).
struct TrimmedFormat {
    std::unique_ptr<char, decltype(&std::free)> copy{nullptr, &std::free};
    const char *text;

    explicit TrimmedFormat(const char *fmt) : text(fmt) {
        const std::size_t n = std::strlen(fmt);
        if (n == 0 || fmt[n - 1] != '\n') return;
        copy.reset(strndup(fmt, n - 1));
        if (copy) text = copy.get();
    }
};

// Common body of err_ret and err_dump.
void report_and_flush(const char *fmt, va_list ap) __attribute__((format(printf, 1, 0)));
void report_and_flush(const char *fmt, va_list ap) {
    FILE *err = error_stream();
    put_prefix(err);
    put_message(err, fmt, ap);
    std::fputs("\r\n", err);
    std::fflush(err);
    if (FILE *cat = catalog_stream()) {
        put_prefix(cat);
        put_message(cat, fmt, ap);
        std::fputs("\n", cat);
        std::fflush(cat);
    }
}

}  // namespace

void err_sys(const char *fmt, ...) {
    const char *reason = std::strerror(errno);  // the error at entry
    const TrimmedFormat trimmed(fmt);
    // Only the format is trimmed; the values are the caller's.
    const char *body = trimmed.text;
    va_list ap;
    va_start(ap, fmt);

    FILE *err = error_stream();
    put_prefix(err);
    put_message(err, body, ap);
    std::fprintf(err, " because %s \r\n", reason);
    if (FILE *cat = catalog_stream()) {
        put_prefix(cat);
        put_message(cat, body, ap);
        std::fprintf(cat, " because %s\n", reason);
    }
    va_end(ap);
}

void err_quit(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    FILE *err = error_stream();
    put_prefix(err);
    put_message(err, fmt, ap);
    if (FILE *cat = catalog_stream()) {
        put_prefix(cat);
        put_message(cat, fmt, ap);
        std::fputs("\n", cat);
    }
    va_end(ap);
    std::fputs("\r\n", err);
    std::exit(255);
}

void err_ret(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    report_and_flush(fmt, ap);
    va_end(ap);
}

void err_dump(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    report_and_flush(fmt, ap);
    va_end(ap);
    FILE *err = error_stream();
    std::fputs("\n", err);
    std::fflush(err);  // abort() does not flush streams
    std::abort();
}

void err_open(const char *file, const char *mode) {
    const char *reason = std::strerror(errno);  // the error at entry
    FILE *err = error_stream();
    put_prefix(err);
    std::fprintf(err, "Error opening file \"%s\"", file != nullptr ? file : "(null)");
    if (mode != nullptr) {
        const char *purpose = "reading ";
        if (mode[0] == 'w')
            purpose = "writing ";
        else if (mode[0] != '\0' && mode[1] == 'w')
            purpose = "read/write";
        std::fprintf(err, " for %s", purpose);
    }
    std::fprintf(err, " because %s \r\n", reason);
    std::fflush(err);
}
