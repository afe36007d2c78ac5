// Bit writer and output pieces: packing order, padding, stored-block copy,
// and the 16384-byte units in which compressed output is written.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <thread>

#include "encode_kit.h"
#include "stream.h"
#include "testkit.h"

namespace {

// Collects the sizes of the write() calls made on ofd: a seqpacket socket
// keeps every write as one record.
class WriteRecorder {
public:
    WriteRecorder() {
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET, 0, fds_), 0);
        ofd = fds_[0];
        reader_ = std::thread([this] {
            std::vector<char> buf(1 << 17);
            for (;;) {
                ssize_t n = recv(fds_[1], buf.data(), buf.size(), 0);
                if (n <= 0) break;
                sizes.push_back(static_cast<size_t>(n));
                data.append(buf.data(), static_cast<size_t>(n));
            }
        });
    }
    // Ends the recording: no more writes after this.
    void finish() {
        shutdown(fds_[0], SHUT_WR);
        reader_.join();
        close(fds_[0]);
        close(fds_[1]);
    }
    std::vector<size_t> sizes;
    std::string data;

private:
    int fds_[2];
    std::thread reader_;
};

// Runs `ops` against an empty bit writer and returns what reached ofd.
template <typename Ops>
std::string emitted(Ops ops) {
    WriteRecorder rec;
    outcnt = 0;
    bi_init(-1);
    ops();
    flush_outbuf();
    rec.finish();
    return testkit::hex(rec.data);
}

}  // namespace

TEST(EncodeBits, SendBitsPacksLeastSignificantFirst) {
    struct Case {
        const char *name;
        std::vector<std::pair<unsigned, int>> sends;  // (value, length)
        bool windup;
        const char *bytes;
    } cases[] = {
        {"8 + 8 bits stay in the accumulator", {{0xab, 8}, {0xcd, 8}}, false, ""},
        {"a third value pushes the first 16 out", {{0xab, 8}, {0xcd, 8}, {1, 1}}, false, "ab cd"},
        {"windup writes the pending pair", {{0xab, 8}, {0xcd, 8}}, true, "ab cd"},
        {"values straddle the 16-bit boundary", {{0x5, 3}, {0x1fff, 13}, {0x3, 2}, {0x1, 1}}, true, "fd ff 07"},
        {"full 16-bit value after 15 bits", {{0x7fff, 15}, {0xa5a5, 16}}, true, "ff ff d2 52"},
        {"block header and end of block of an empty member", {{3, 3}, {0, 7}}, true, "03 00"},
        {"one bit", {{1, 1}}, true, "01"},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(emitted([&] {
                      for (auto [v, l] : c.sends) send_bits(v, l);
                      if (c.windup) bi_windup();
                  }),
                  c.bytes)
            << c.name;
    }
}

TEST(EncodeBits, WindupWritesWholeBytesOnly) {
    struct Case {
        int pending;
        const char *bytes;
    } cases[] = {{0, ""}, {1, "01"}, {7, "7f"}, {8, "ff"}, {9, "ff 01"}, {15, "ff 7f"}, {16, "ff ff"}};
    for (const Case &c : cases) {
        EXPECT_EQ(emitted([&] {
                      if (c.pending) send_bits((1u << c.pending) - 1, c.pending);
                      bi_windup();
                      bi_windup();  // a second windup adds nothing
                  }),
                  c.bytes)
            << c.pending;
    }
}

TEST(EncodeBits, CopyBlockAlignsThenWritesLenNlenAndBytes) {
    EXPECT_EQ(emitted([] {
                  send_bits(5, 3);
                  copy_block("", 0, 1);
              }),
              "05 00 00 ff ff");
    EXPECT_EQ(emitted([] {
                  send_bits(1, 3);
                  copy_block("xyz", 3, 1);
              }),
              "01 03 00 fc ff 78 79 7a");
    EXPECT_EQ(emitted([] { copy_block("ab", 2, 0); }), "61 62");
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

// out_short at 16383: the low byte completes a 16384-byte write, the high
// byte starts the next buffer.
TEST(EncodeBits, OutShortSplitsAtTheFlushPoint) {
    WriteRecorder rec;
    outcnt = OUTBUFSIZ - 1;
    std::memset(outbuf, 'x', OUTBUFSIZ);
    out_short(0x4241);
    EXPECT_EQ(outcnt, 1u);
    flush_outbuf();
    rec.finish();
    ASSERT_EQ(rec.sizes, (std::vector<size_t>{OUTBUFSIZ, 1}));
    EXPECT_EQ(rec.data[OUTBUFSIZ - 1], 'A');
    EXPECT_EQ(rec.data[OUTBUFSIZ], 'B');
}

// A member leaves in 16384-byte writes plus the remainder; a member whose
// length is a multiple of 16384 has no remainder write.
TEST(EncodeBits, MemberLeavesInWholePieces) {
    struct Case {
        const char *name;
        std::string data;
        size_t member_size;  // 0: not fixed
    } cases[] = {
        {"random, 200000 bytes", testkit::random_bytes(200000, 4), 0},
        // Two stored blocks: 12 header, 65506 data, 10 block, 8 trailer bytes.
        {"random, member of exactly 65536 bytes", testkit::random_bytes(65506, 8), 65536},
        {"text", testkit::text_bytes(1 << 20, 6), 0},
    };
    for (const Case &c : cases) {
        testkit::TempDir dir;
        testkit::write_file(dir.file("in"), c.data);
        WriteRecorder rec;
        int in = open(dir.file("in").c_str(), O_RDONLY);
        std::snprintf(ifname, sizeof ifname, "a");
        outcnt = 0;
        zip(in, ofd);
        close(in);
        rec.finish();
        ASSERT_FALSE(rec.sizes.empty()) << c.name;
        if (c.member_size) {
            EXPECT_EQ(rec.data.size(), c.member_size) << c.name;
        }
        for (size_t i = 0; i + 1 < rec.sizes.size(); i++) EXPECT_EQ(rec.sizes[i], OUTBUFSIZ) << c.name << " #" << i;
        EXPECT_LE(rec.sizes.back(), OUTBUFSIZ) << c.name;
        EXPECT_EQ(rec.sizes.size(), (rec.data.size() + OUTBUFSIZ - 1) / OUTBUFSIZ) << c.name;
        auto ms = testkit::parse_members(rec.data);
        ASSERT_TRUE(ms[0].ok) << c.name << ": " << ms[0].error;
        EXPECT_TRUE(ms[0].body.data == c.data) << c.name;
    }
}
