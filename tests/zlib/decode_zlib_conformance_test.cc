// Conformance of the decoder against zlib as a black-box encoder: every
// level, strategy and window size, boundary sizes around the 32 KiB window,
// several MiB of mixed data, flushes inside the stream, and members with
// optional header fields. zlib only produces the streams; the decoding is ours.
#include <gtest/gtest.h>
#include <zlib.h>

#include <optional>
#include <random>
#include <string>
#include <vector>

#include "decode_kit.h"
#include "encode_kit.h"

using namespace testkit;

namespace {

// Text, random bytes, single-byte runs and copies from far back, so that
// every kind of block and match distance turns up.
std::string mixed(size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::string s;
    while (s.size() < n) {
        const size_t kind = rng() % 4, len = 1 + rng() % 3000, back = 1 + rng() % std::min<size_t>(s.size() + 1, 40000);
        if (kind == 0) s += text_bytes(len, static_cast<uint32_t>(rng()));
        if (kind == 1) s += random_bytes(len, static_cast<unsigned>(rng()));
        if (kind == 2) s.append(len / 3 + 1, static_cast<char>(rng()));
        for (size_t i = 0; kind == 3 && back <= s.size() && i < 3 + len / 5; i++) s.push_back(s[s.size() - back]);
    }
    s.resize(n);
    return s;
}

// zlib member: gzip wrapper (wbits + 16) or a raw stream (negative wbits);
// flush_every > 0 adds a sync flush every that many input bytes.
std::string zlib_compress(const std::string &in, int level, int strategy, int wbits,
                          size_t flush_every = 0, gz_header *head = nullptr) {
    z_stream zs{};
    EXPECT_EQ(deflateInit2(&zs, level, Z_DEFLATED, wbits, 8, strategy), Z_OK);
    if (head != nullptr) {
        EXPECT_EQ(deflateSetHeader(&zs, head), Z_OK);
    }
    std::string out;
    std::vector<unsigned char> buf(1 << 16);
    size_t pos = 0;
    int ret;
    do {
        const size_t piece = flush_every ? std::min(flush_every, in.size() - pos) : in.size() - pos;
        zs.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(in.data() + pos));
        zs.avail_in = static_cast<uInt>(piece);
        pos += piece;
        const int flush = pos == in.size() ? Z_FINISH : Z_SYNC_FLUSH;
        do {
            zs.next_out = buf.data();
            zs.avail_out = static_cast<uInt>(buf.size());
            ret = deflate(&zs, flush);
            out.append(reinterpret_cast<char *>(buf.data()), buf.size() - zs.avail_out);
        } while (zs.avail_out == 0 || (flush == Z_FINISH && ret != Z_STREAM_END));
    } while (pos < in.size());
    deflateEnd(&zs);
    return out;
}

struct ZCase {
    std::string name;
    int level;
    int strategy;
    int wbits;
    size_t size;
    size_t flush_every;
};

std::vector<ZCase> cases() {
    std::vector<ZCase> v;
    const size_t sizes[] = {0, 1, 32767, 32768, 32769, 65536};
    for (int level = 0; level <= 9; level++) {
        for (size_t size : sizes) {
            v.push_back({"level" + std::to_string(level) + "_size" + std::to_string(size), level,
                         Z_DEFAULT_STRATEGY, 15, size, 0});
        }
    }
    const std::pair<int, const char *> strategies[] = {
        {Z_FILTERED, "filtered"}, {Z_HUFFMAN_ONLY, "huffman"}, {Z_RLE, "rle"}, {Z_FIXED, "fixed"}};
    for (auto [strategy, sname] : strategies) {
        for (int level : {1, 6, 9}) {
            v.push_back({std::string(sname) + "_level" + std::to_string(level), level, strategy, 15,
                         300000, 0});
        }
    }
    for (int wbits = 9; wbits <= 15; wbits++) {
        v.push_back({"window" + std::to_string(wbits), 9, Z_DEFAULT_STRATEGY, wbits, 200000, 0});
    }
    for (int level : {1, 6, 9}) {
        v.push_back({"several_MiB_level" + std::to_string(level), level, Z_DEFAULT_STRATEGY, 15,
                     5u << 20, 0});
    }
    v.push_back({"sync_flushes_level6", 6, Z_DEFAULT_STRATEGY, 15, 100000, 997});
    v.push_back({"sync_flushes_level0", 0, Z_DEFAULT_STRATEGY, 15, 100000, 5000});
    return v;
}

class ZlibStream : public ::testing::TestWithParam<ZCase> {};

TEST_P(ZlibStream, DecodesToOriginal) {
    const ZCase &c = GetParam();
    const std::string plain = mixed(c.size, static_cast<unsigned>(c.size + c.level));
    const std::string gz = zlib_compress(plain, c.level, c.strategy, 16 + c.wbits, c.flush_every);
    ChildResult r = decode_member(gz);
    ASSERT_FALSE(r.signaled);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out.size(), plain.size());
    EXPECT_TRUE(r.out == plain);
}

INSTANTIATE_TEST_SUITE_P(All, ZlibStream, ::testing::ValuesIn(cases()), CaseName());

// Optional header fields around a zlib body (written by the kit), and
// zlib's own header writer with FEXTRA, FNAME and FCOMMENT (no kit header).
struct HeaderCase {
    const char *name;
    std::optional<Header> header;
};

Header hand(uint8_t magic1, uint8_t flags) {
    return {.magic1 = magic1, .flags = flags, .part = 3, .extra = "EXTRA", .name = "data.bin", .comment = "comment"};
}

const HeaderCase kHeaders[] = {
    {"extra", hand(0x8b, 0x04)},       {"comment", hand(0x8b, 0x10)},
    {"part_number", hand(0x8b, 0x02)}, {"magic_1f9e", hand(0x9e, 0x08)},
    {"all_fields", hand(0x8b, 0x1e)},  {"magic_1f9e_all_fields", hand(0x9e, 0x1e)},
    {"zlib_extra_name_comment", std::nullopt},
};

class ZlibHeader : public ::testing::TestWithParam<HeaderCase> {};

TEST_P(ZlibHeader, DecodesToOriginal) {
    const std::string plain = mixed(50000, 9);
    std::string gz;
    if (GetParam().header) {
        gz = member(zlib_compress(plain, 9, Z_DEFAULT_STRATEGY, -15), plain, *GetParam().header);
    } else {
        std::string extra = "xx", name = "zname", comment = "zcomment";
        gz_header head{};
        head.extra = reinterpret_cast<Bytef *>(extra.data());
        head.extra_len = static_cast<uInt>(extra.size());
        head.name = reinterpret_cast<Bytef *>(name.data());
        head.comment = reinterpret_cast<Bytef *>(comment.data());
        head.time = 1000000;
        gz = zlib_compress(plain, 6, Z_DEFAULT_STRATEGY, 31, 0, &head);
    }
    ChildResult r = decode_member(gz);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(r.out == plain);
}

INSTANTIATE_TEST_SUITE_P(All, ZlibHeader, ::testing::ValuesIn(kHeaders), CaseName());

// Corruption of real encoder output: only the decoder's own messages.
TEST(ZlibRobust, CorruptedMembers) {
    const std::string plain = mixed(3000, 5);
    const std::string gz = zlib_compress(plain, 9, Z_DEFAULT_STRATEGY, 31);
    std::mt19937 rng(99);
    for (int round = 0; round < 600; round++) {
        std::string bad = gz;
        const size_t at = 10 + rng() % (bad.size() - 10);
        bad[at] = static_cast<char>(bad[at] ^ (1 + rng() % 255));
        ChildResult r = decode_member(bad);
        ASSERT_FALSE(r.signaled) << "round " << round;
        if (r.status == 0) {
            EXPECT_TRUE(r.out == plain) << "round " << round;
            continue;
        }
        EXPECT_EQ(r.status, 1);
        const std::string &e = r.err;
        const bool known = e.find("\nkivra: in.gz: invalid compressed data--") != std::string::npos ||
                           e == "\nkivra: in.gz: unexpected end of file\n";
        EXPECT_TRUE(known) << "round " << round << ": " << e;
    }
}

}  // namespace
