// member_header.cc - reads the header of the gzip member at the current input
// position and leaves the input on the first byte of its DEFLATE data.
//
// Only DEFLATE members are accepted; the two magics 1F 8B and 1F 9E are read
// alike. Flag bit 0x02 announces a 2-byte part number that comes right after
// the OS byte, before the extra field. Every byte comes through in_byte, so a
// header may straddle a refill of inbuf and the end of the input anywhere in
// it is fatal.
//
// The stored file name becomes the output name (ofname), which the extract
// command may use as a path. It is therefore cut to its last path component;
// a name that leaves nothing usable ("", ".", "..") keeps the caller's name.
#include <cstring>

#include "kivra.h"
#include "ss.h"

int part_nb;
int last_member;

namespace {

// Header layout (RFC 1952), in reading order.
constexpr int MAGIC_0 = 0x1f;
constexpr int MAGIC_1 = 0x8b;
constexpr int MAGIC_1_OLD = 0x9e;  // read exactly like MAGIC_1
constexpr unsigned FLAG_PART = 0x02;     // 2-byte part number follows the OS byte
constexpr unsigned FLAG_EXTRA = 0x04;    // 2-byte length, then that many bytes
constexpr unsigned FLAG_NAME = 0x08;     // NUL-terminated file name
constexpr unsigned FLAG_COMMENT = 0x10;  // NUL-terminated comment
constexpr long TRAILER_SIZE = 8;

unsigned get_le16() {
    unsigned v = static_cast<unsigned>(in_byte());
    return v | static_cast<unsigned>(in_byte()) << 8;
}

ulg get_le32() {
    ulg v = get_le16();
    return v | static_cast<ulg>(get_le16()) << 16;
}

void skip_string() {
    while (in_byte() != 0) {
    }
}

// Reads the stored name (1023 characters at most) and makes its last path
// component the output name.
void read_name() {
    char name[sizeof ofname];
    unsigned len = 0;
    for (;;) {
        const char c = static_cast<char>(in_byte());
        name[len++] = c;
        if (c == '\0') break;
        if (len >= sizeof name) error("corrupted input -- file name too large");
    }
    const char *slash = std::strrchr(name, '/');
    const char *base = slash != nullptr ? slash + 1 : name;
    if (std::strcmp(base, "") == 0 || std::strcmp(base, ".") == 0 || std::strcmp(base, "..") == 0) {
        return;  // nothing usable: keep the caller's name
    }
    std::memmove(ofname, base, std::strlen(base) + 1);
}

}  // namespace

int get_method(int) {
    const int magic0 = in_byte();
    const int magic1 = in_byte();

    part_nb++;
    method = -1;
    header_bytes = 0;
    last_member = 0;

    if (magic0 != MAGIC_0 || (magic1 != MAGIC_1 && magic1 != MAGIC_1_OLD)) {
        std::fprintf(stderr, "%s: can only handle GZIP compression method\n", progname);
        exit_code = 1;
        return -1;
    }

    method = in_byte();
    if (method != DEFLATED) {
        std::fprintf(stderr, "%s: %s: unknown method %d -- get newer version of gzip\n", progname,
                     ifname, method);
        exit_code = 1;
        return -1;
    }

    const unsigned flags = static_cast<unsigned>(in_byte());
    const ulg stamp = get_le32();
    if (stamp != 0) time_stamp = static_cast<long>(stamp);
    (void)in_byte();  // extra flags
    (void)in_byte();  // operating system

    if (flags & FLAG_PART) {
        const unsigned part = get_le16();
        if (verbose) std::fprintf(stderr, "%s: %s: part number %u\n", progname, ifname, part);
    }
    if (flags & FLAG_EXTRA) {
        unsigned len = get_le16();
        if (verbose) {
            std::fprintf(stderr, "%s: %s: extra field of %u bytes ignored\n", progname, ifname, len);
        }
        while (len-- > 0) (void)in_byte();
    }
    if (flags & FLAG_NAME) {
        if ((to_stdout && !list) || part_nb > 1) {
            skip_string();
        } else {
            to_basename(ofname);
            read_name();
        }
    }
    if (flags & FLAG_COMMENT) skip_string();

    if (part_nb == 1) header_bytes = static_cast<counter_t>(inptr) + TRAILER_SIZE;
    return method;
}
