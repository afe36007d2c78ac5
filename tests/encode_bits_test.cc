// Bit writer and output pieces: packing order, padding, stored-block copy,
// and bytes written across the end of the output buffer.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstring>

#include "encode_kit.h"
#include "stream.h"
#include "testkit.h"

namespace {

// Runs `ops` against an empty bit writer and returns what reached ofd, in hex.
template <typename Ops>
std::string emitted(Ops ops) {
    testkit::TempDir dir;
    ofd = open(dir.file("out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    outcnt = 0;
    bi_init(-1);
    ops();
    flush_outbuf();
    close(ofd);
    return testkit::hex(testkit::read_file(dir.file("out")));
}

}  // namespace

// Each case's values (value, length) are sent, then two windups: the
// second adds nothing, the first writes whole bytes only.
TEST(EncodeBits, SendBitsPacksLeastSignificantFirst) {
    struct Case {
        const char *name;
        std::vector<std::pair<unsigned, int>> sends;
        const char *bytes;
    } cases[] = {
        {"two whole bytes", {{0xab, 8}, {0xcd, 8}}, "ab cd"},
        {"values straddle the 16-bit boundary", {{0x5, 3}, {0x1fff, 13}, {0x3, 2}, {0x1, 1}}, "fd ff 07"},
        {"full 16-bit value after 15 bits", {{0x7fff, 15}, {0xa5a5, 16}}, "ff ff d2 52"},
        {"block header and end of block of an empty member", {{3, 3}, {0, 7}}, "03 00"},
        {"nothing pending", {}, ""},
        {"one bit", {{1, 1}}, "01"},
        {"7 bits", {{0x7f, 7}}, "7f"},
        {"8 bits", {{0xff, 8}}, "ff"},
        {"9 bits", {{0x1ff, 9}}, "ff 01"},
        {"15 bits", {{0x7fff, 15}}, "ff 7f"},
        {"16 bits", {{0xffff, 16}}, "ff ff"},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(emitted([&] {
                      for (auto [v, l] : c.sends) send_bits(v, l);
                      bi_windup();
                      bi_windup();
                  }),
                  c.bytes)
            << c.name;
    }
}

// copy_block aligns, then writes LEN, NLEN and the bytes; a short written at
// the buffer's last byte reaches the output whole, in order.
TEST(EncodeBits, StoredCopiesAndShortsAcrossTheBufferEnd) {
    const struct {
        void (*ops)();
        std::string bytes;
    } cases[] = {
        {[] { send_bits(5, 3), copy_block("", 0, 1); }, "05 00 00 ff ff"},
        {[] { send_bits(1, 3), copy_block("xyz", 3, 1); }, "01 03 00 fc ff 78 79 7a"},
        {[] { copy_block("ab", 2, 0); }, "61 62"},
        {[] { outcnt = OUTBUFSIZ - 1, std::memset(outbuf, 'x', OUTBUFSIZ), out_short(0x4241); },
         testkit::hex(std::string(OUTBUFSIZ - 1, 'x') + "AB")},
    };
    for (const auto &c : cases) EXPECT_EQ(emitted(c.ops), c.bytes) << &c - cases;
}

TEST(EncodeBits, BitReverse) {
    struct Case {
        unsigned code;
        int len;
        unsigned want;
    } cases[] = {{1, 5, 16}, {6, 3, 3}, {1, 1, 1}, {0, 7, 0}, {0x7fff, 15, 0x7fff}, {0x1, 15, 0x4000},
                 {0x16, 5, 0x0d}, {0x2ac, 10, 0x0d5}, {0xf0, 8, 0x0f}};
    for (const Case &c : cases) EXPECT_EQ(bi_reverse(c.code, c.len), c.want) << c.code << "/" << c.len;
}

