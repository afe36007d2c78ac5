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

// Little-endian fields taken from the input (the layout is in gzip_member.h).
unsigned in_le16() {
    uch b[2];
    for (uch &c : b) c = static_cast<uch>(in_byte());
    return gzip::le16(b);
}

ulg in_le32() {
    uch b[4];
    for (uch &c : b) c = static_cast<uch>(in_byte());
    return gzip::le32(b);
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
        if (len >= sizeof name) fail_apart("%s: corrupted input -- file name too large", ifname);
    }
    const char *base = to_basename(name);
    if (std::strcmp(base, "") == 0 || std::strcmp(base, ".") == 0 || std::strcmp(base, "..") == 0) {
        return;  // nothing usable: keep the caller's name
    }
    std::strcpy(ofname, base);
}

}  // namespace

int get_method(int) {
    const int magic0 = in_byte();
    const int magic1 = in_byte();

    part_nb++;
    method = -1;
    header_bytes = 0;
    last_member = 0;

    if (magic0 != gzip::MAGIC_0 || (magic1 != gzip::MAGIC_1 && magic1 != gzip::MAGIC_1_OLD)) {
        report("can only handle GZIP compression method");
        exit_code = 1;
        return -1;
    }

    method = in_byte();
    if (method != DEFLATED) {
        report("%s: unknown method %d -- get newer version of gzip", ifname, method);
        exit_code = 1;
        return -1;
    }

    const unsigned flags = static_cast<unsigned>(in_byte());
    const ulg stamp = in_le32();
    if (stamp != 0) time_stamp = static_cast<long long>(stamp);
    (void)in_byte();  // extra flags
    (void)in_byte();  // operating system

    if (flags & gzip::FLAG_PART) {
        const unsigned part = in_le16();
        if (verbose && !quiet) report("%s: part number %u", ifname, part);
    }
    if (flags & gzip::FLAG_EXTRA) {
        unsigned len = in_le16();
        if (verbose && !quiet) report("%s: extra field of %u bytes ignored", ifname, len);
        while (len-- > 0) (void)in_byte();
    }
    if (flags & gzip::FLAG_NAME) {
        if ((to_stdout && !list) || part_nb > 1) {
            skip_string();
        } else {
            to_basename(ofname);
            read_name();
        }
    }
    if (flags & gzip::FLAG_COMMENT) skip_string();

    if (part_nb == 1) header_bytes = static_cast<counter_t>(inptr) + gzip::TRAILER_SIZE;
    return method;
}
