// gzip_member.h - the facts of a gzip member (RFC 1952) that more than one
// unit needs: the magic, the flag bits, the sizes of the fixed header and of
// the trailer, and the little-endian readers of stored fields.
//
// A member is laid out as
//   magic      2 bytes, 1F 8B (1F 9E, an older magic, is read alike)
//   method     1 byte, 8 for DEFLATE
//   flags      1 byte, the FLAG_ bits below
//   mtime      4 bytes, little-endian seconds since 1970 (0: none)
//   xfl, os    1 byte each
//   optional   part number, extra field, name, comment, in that order, as the flags announce
//   data       the DEFLATE stream
//   trailer    CRC-32 of the uncompressed data, then its length mod 2^32, both little-endian
// The codec (member decoder, member writer) and the tool (header reader,
// listing, extraction driver) both include this header; it depends on
// stream.h for the byte and word types only.
#pragma once

#include "stream.h"

namespace gzip {

constexpr uch MAGIC_0 = 0x1f;
constexpr uch MAGIC_1 = 0x8b;
constexpr uch MAGIC_1_OLD = 0x9e;  // read exactly like MAGIC_1

constexpr unsigned FLAG_PART = 0x02;     // 2-byte part number follows the OS byte
constexpr unsigned FLAG_EXTRA = 0x04;    // 2-byte length, then that many bytes
constexpr unsigned FLAG_NAME = 0x08;     // NUL-terminated file name
constexpr unsigned FLAG_COMMENT = 0x10;  // NUL-terminated comment

constexpr unsigned HEADER_FIXED = 10;  // magic, method, flags, mtime, xfl, os
constexpr unsigned TRAILER_SIZE = 8;   // CRC-32 and length, 4 bytes each

// Little-endian 16- and 32-bit numbers stored at p.
inline unsigned le16(const uch *p) { return static_cast<unsigned>(p[0]) | static_cast<unsigned>(p[1]) << 8; }
inline uint32_t le32(const uch *p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}

}  // namespace gzip
