// trailer.cc - the archive trailer: where an archive's own data begins.
//
// An archive file is laid out as
//   stub      every byte of the executable the builder copied
//   magic     the 11 bytes assembled by get_eop, no terminator
//   features  NUL-terminated
//   comment   NUL-terminated
//   run       NUL-terminated (run program)
//   extract   NUL-terminated (extract command)
//   payload   to the end of the file
// with no length field, count or checksum anywhere. The reader therefore finds
// the first occurrence of the magic in the file; for that to work the stub, which
// is normally this very program, must never hold the magic's bytes in a row. So
// the magic exists only at run time, stored byte by byte into eop through a
// volatile pointer: the compiler cannot merge the eleven stores into one
// constant that would hold the bytes contiguously in the program image.
//
// Every trailer string must fit its 1024-byte buffer; a file whose string is
// longer was not written by this program and is refused as no archive. A read
// error while an archive's trailer is found or loaded ends the run: taken for
// the end of the file or of a string, it would make an archive a builder or
// shift its commands into each other's places. For the same first-magic rule,
// a stub that already holds the magic is refused before anything is written.
//
// open_archive is the one way the listing and the extraction driver open an
// archive: at its payload, with the last 8 bytes of the payload (the last
// member's trailer) read once, under one failure rule. The payload ends at
// the end of the file, or, in a signed archive, where its signature block
// begins (signature.cc).
#include "kivra.h"

#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

long long preamble_end;

namespace {

constexpr unsigned MAGIC_LEN = 11;
constexpr unsigned SEARCH_BUF = 8192;             // the magic search's read buffer
constexpr unsigned SEARCH_READ = SEARCH_BUF - 1;  // each read asks for this much
constexpr unsigned PROGRAM_PATH_BUF = 1025;       // find_program's result: 1024 characters at most

unsigned char eop[MAGIC_LEN];
char path[PROGRAM_PATH_BUF];

// Fills eop with the magic, one separate store per byte (see the unit comment).
void get_eop() {
    volatile unsigned char *e = eop;
    e[0] = 'k';
    e[1] = 'i';
    e[2] = 'v';
    e[3] = 'r';
    e[4] = 'a';
    e[5] = '+';
    e[6] = 'm';
    e[7] = 'a';
    e[8] = 'g';
    e[9] = 'i';
    e[10] = 'k';
}

// Closes a descriptor on every path out of a routine unless released.
class FdHolder {
public:
    explicit FdHolder(int fd) : fd_(fd) {}
    ~FdHolder() {
        if (fd_ >= 0) close(fd_);
    }
    FdHolder(const FdHolder &) = delete;
    FdHolder &operator=(const FdHolder &) = delete;
    int get() const { return fd_; }
    int release() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }

private:
    int fd_;
};

// An executable regular file: directories are searchable, but no program.
bool is_program_file(const char *p) {
    struct stat st;
    return access(p, X_OK) == 0 && stat(p, &st) == 0 && S_ISREG(st.st_mode);
}

// Reads one trailer string byte by byte into dst (TEXT_BUF bytes). The string
// ends after a stored NUL, or at end of file, where it is terminated and kept
// as read so far. A read error ends the run with "<name>: <reason>": taken for
// the end of the string, it would shift every later string into the wrong
// buffer. Returns 0, or -1 when the string does not fit (no NUL within
// TEXT_BUF bytes).
int read_trailer_string(int fd, char *dst, const char *name) {
    for (unsigned n = 0; n < TEXT_BUF; n++) {
        char c;
        if (read_fully(fd, &c, 1) != 1) {
            if (errno != 0) fail_as(name, "%s", std::strerror(errno));
            dst[n] = '\0';
            return 0;
        }
        dst[n] = c;
        if (c == '\0') return 0;
    }
    dst[TEXT_MAX] = '\0';
    return -1;
}

constexpr long long MAGIC_NONE = -1;        // the file ends before a magic
constexpr long long MAGIC_READ_ERROR = -2;  // a read failed; errno tells why

// Reads fd from its current position to the first magic and returns the
// file offset of the byte after it, or MAGIC_NONE / MAGIC_READ_ERROR.
long long find_magic(int fd) {
    get_eop();
    // Fallback links of the magic: back[e] is the longest proper prefix of
    // eop[0..e] that is also a suffix of it, so a mismatch after a partial
    // match falls back without skipping a position where the magic could start.
    std::array<unsigned, MAGIC_LEN> back{};
    for (unsigned i = 1, k = 0; i < MAGIC_LEN; i++) {
        while (k > 0 && eop[i] != eop[k]) k = back[k - 1];
        if (eop[i] == eop[k]) k++;
        back[i] = k;
    }

    HeapBlock buf(static_cast<char *>(std::malloc(SEARCH_BUF)));
    if (!buf) fail("out of memory");

    unsigned e = 0;        // magic bytes matched so far
    long long offset = 0;  // file bytes consumed by earlier reads
    for (;;) {
        const size_t n = read_fully(fd, buf.get(), SEARCH_READ);
        if (n < SEARCH_READ && errno != 0) return MAGIC_READ_ERROR;
        if (n == 0) return MAGIC_NONE;
        const auto *b = reinterpret_cast<const unsigned char *>(buf.get());
        for (size_t i = 0; i < n; i++) {
            if (e == 0) {  // no partial match: on to the next byte that can start one
                const void *q = std::memchr(b + i, eop[0], n - i);
                if (q == nullptr) break;
                i = static_cast<size_t>(static_cast<const unsigned char *>(q) - b);
            }
            while (e > 0 && b[i] != eop[e]) e = back[e - 1];
            if (b[i] == eop[e]) e++;
            if (e == MAGIC_LEN) return offset + static_cast<long long>(i) + 1;
        }
        offset += static_cast<long long>(n);
    }
}

}  // namespace

// Resolves a program name to a path as described in kivra.h: the name itself
// when it is an executable file, a name starting with '.' as it is (readable
// but not executable files included), else the PATH entries in order, where an
// empty entry stands for "/" rather than the working directory. Candidates
// that do not fit path are skipped. Result: path (static), ref itself, or NULL.
char *find_program(char *ref) {
    if (ref == nullptr) return nullptr;
    size_t ref_len = std::strlen(ref);
    if (ref_len < PROGRAM_PATH_BUF && is_program_file(ref)) {
        std::memcpy(path, ref, ref_len + 1);
        return path;
    }
    if (ref[0] == '.') return ref;

    const char *env = std::getenv("PATH");
    if (env == nullptr) return nullptr;
    // Walk the entries in place; no copy of the variable is needed.
    for (const char *entry = env;;) {
        const char *end = std::strchr(entry, ':');
        size_t len = end != nullptr ? static_cast<size_t>(end - entry) : std::strlen(entry);
        if (len + 1 + ref_len < PROGRAM_PATH_BUF) {
            std::memcpy(path, entry, len);
            path[len] = '/';
            std::memcpy(path + len + 1, ref, ref_len + 1);
            if (is_program_file(path)) return path;
        }
        if (end == nullptr) break;
        entry = end + 1;
    }
    return nullptr;
}

// Opens the archive that program names, finds the first magic and loads the
// four trailer strings. Returns the descriptor positioned at the first payload
// byte (also stored in preamble_end), or -1: no file (message), cannot open
// ("<path>: <reason>"), no magic (no message; callers report it), a trailer
// string too long for its buffer (message); or PREAMBLE_NOT_FILE after
// "<path>: not a regular file". A read error ends the run with "<path>: <reason>".
int find_preamble(char *program) {
    char *p = find_program(program);
    if (p == nullptr) {
        report_as("find_preamble", "unable to find kivra to build preamble");
        return -1;
    }
    // Only a regular file can hold an archive. Anything else is refused
    // before it is read, and opened without waiting: a fifo would block the
    // open, a device such as /dev/zero would be read without end, a directory
    // cannot be read. The stat before the open keeps a device from being
    // opened at all; the fstat after it catches a file swapped in between.
    struct stat st;
    if (stat(p, &st) == 0 && !S_ISREG(st.st_mode)) {
        report_as(p, "not a regular file");
        return PREAMBLE_NOT_FILE;
    }
    FdHolder fd(open(p, O_RDONLY | O_NONBLOCK | O_NOCTTY));
    if (fd.get() < 0) {
        report_errno(p);
        return -1;
    }
    if (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        report_as(p, "not a regular file");
        return PREAMBLE_NOT_FILE;
    }
    fcntl(fd.get(), F_SETFL, 0);  // reads of the archive block as usual
    // A read error taken for "no trailer" would make an archive run as the
    // builder: it ends the run instead, before any role has started.
    const long long magic_end = find_magic(fd.get());
    if (magic_end == MAGIC_READ_ERROR) fail_as(p, "%s", std::strerror(errno));
    if (magic_end == MAGIC_NONE) return -1;

    if (lseek(fd.get(), static_cast<off_t>(magic_end), SEEK_SET) < 0) {
        report_errno(p);
        return -1;
    }
    for (char *dst : {features, comment, run_program, pipe_program}) {
        if (read_trailer_string(fd.get(), dst, p) != 0) {
            report_as("find_preamble", "%s: trailer string longer than %u bytes, not an archive", p,
                      TEXT_MAX);
            return -1;
        }
    }
    preamble_end = lseek(fd.get(), 0, SEEK_CUR);
    return fd.release();
}

// Writes the stub (every byte of the executable that program names) and the
// trailer to fd. Reads and writes are completed however the system splits
// them (copy_until_end). Returns 0, or -1 after a message: stub not found or
// an archive itself ("build_preamble" line, nothing written), stat/open/read
// of the stub failed ("<path>: <reason>"), a write failed ("<ofname>:
// <reason>", ofname being the builder's output name).
int build_preamble(char *program, int fd) {
    char *p = find_program(program);
    if (p == nullptr) {
        report_as("build_preamble", "unable to find kivra to build preamble");
        return -1;
    }
    struct stat st;
    if (stat(p, &st) != 0) {
        report_errno(p);
        return -1;
    }
    FdHolder pfd(open(p, O_RDONLY));
    if (pfd.get() < 0) {
        report_errno(p);
        return -1;
    }

    // An archive as the stub would hide the new trailer behind its own (the
    // first magic wins): refused before a byte is written.
    const long long magic_end = find_magic(pfd.get());
    if (magic_end == MAGIC_READ_ERROR) {
        report_errno(p);
        return -1;
    }
    if (magic_end != MAGIC_NONE) {
        report_as("build_preamble", "%s is an archive itself and cannot be the stub of another", p);
        return -1;
    }
    if (lseek(pfd.get(), 0, SEEK_SET) != 0) {
        report_errno(p);
        return -1;
    }

    switch (copy_until_end(pfd.get(), fd, nullptr, false)) {
    case CopyEnd::read_failed: report_errno(p); return -1;
    case CopyEnd::write_failed: report_errno(ofname); return -1;
    case CopyEnd::done: break;
    }

    get_eop();
    if (write_fully(fd, eop, MAGIC_LEN) != 0) {
        report_errno(ofname);
        return -1;
    }
    for (const char *s : {features, comment, run_program, pipe_program}) {
        if (write_fully(fd, s, std::strlen(s) + 1) != 0) {
            report_errno(ofname);
            return -1;
        }
    }
    return 0;
}

namespace {

// The value of the feature word TOTAL_SIZE_KEY (a whole word, not a part of
// another), when it is a plain decimal number that fits a counter; else 0.
counter_t recorded_total() {
    constexpr size_t MAX_DIGITS = 18;  // below 10^18: no overflow of counter_t
    const std::optional<std::string_view> digits = feature_value(TOTAL_SIZE_KEY);
    if (!digits || digits->empty() || digits->size() > MAX_DIGITS) return 0;
    counter_t value = 0;
    for (const char d : *digits) {
        if (d < '0' || d > '9') return 0;
        value = value * 10 + (d - '0');
    }
    return value;
}

// Reads the last gzip::TRAILER_SIZE bytes of fd and puts the file offset back.
// A file that cannot be sought leaves end unknown; one that can but then
// comes up short was cut while being read, which is fatal (read_error).
// data_end: where the payload ends (payload_end).
void read_archive_end(int fd, long long data_end, ArchiveEnd *end) {
    *end = ArchiveEnd{};
    const off_t here = lseek(fd, 0, SEEK_CUR);
    if (here == -1) return;
    const off_t trailer = static_cast<off_t>(gzip::TRAILER_SIZE);
    const off_t last = data_end == PAYLOAD_TO_END ? lseek(fd, -trailer, SEEK_END)
                       : data_end >= trailer      ? lseek(fd, static_cast<off_t>(data_end) - trailer, SEEK_SET)
                                                  : -1;
    if (last == -1) return;
    uch buf[gzip::TRAILER_SIZE];
    if (read_fully(fd, buf, sizeof buf) != sizeof buf) read_error();
    if (lseek(fd, here, SEEK_SET) == -1) read_error();
    end->known = true;
    end->payload_size = static_cast<counter_t>(last) + gzip::TRAILER_SIZE - preamble_end;
    end->crc = gzip::le32(buf);
    end->isize = gzip::le32(buf + 4);
    end->total = static_cast<counter_t>(end->isize);
    const counter_t recorded = recorded_total();
    if (recorded >= FOUR_GIB && static_cast<ulg>(recorded & 0xffffffff) == end->isize) end->total = recorded;
}

}  // namespace

int open_archive(char *path, ArchiveEnd *end) {
    const int fd = find_preamble(path);
    if (fd < 0) {
        if (fd == -1) report_as(path, "unable to find preamble magic value");
        return -1;
    }
    ifd = fd;
    std::snprintf(ifname, sizeof ifname, "%s", path);
    ofd = STDOUT_FILENO;
    std::strcpy(ofname, "stdout");
    clear_bufs();
    part_nb = 0;
    time_stamp = 0;
    const long long data_end = payload_end(fd, path);
    if (data_end < PAYLOAD_TO_END) {
        close(fd);
        return -1;
    }
    read_archive_end(fd, data_end, end);
    return fd;
}
