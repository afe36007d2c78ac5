// Round trips through zlib, used purely as an independent decoder of our
// members: single members over a corpus that crosses every buffer boundary,
// and a multi-member run whose later members are decoded as raw DEFLATE
// (their size fields hold the running total, which gzip decoders reject).
#include <gtest/gtest.h>
#include <zlib.h>

#include "encode_kit.h"
#include "testkit.h"

namespace {

struct Sample {
    std::string name;
    std::string data;
};

std::string runs(size_t n, uint32_t seed) {
    std::string r = testkit::random_bytes(n / 64 + 1, seed), s;
    for (size_t i = 0; s.size() < n; i++) s.append(1 + static_cast<unsigned char>(r[i % r.size()]) % 300, r[i % r.size()]);
    s.resize(n);
    return s;
}

std::vector<Sample> corpus() {
    std::vector<Sample> c;
    for (size_t n : {0u, 1u, 2u, 3u, 261u, 262u, 263u, 32767u, 32768u, 32769u, 65274u, 65275u, 65279u, 65400u,
                     65534u, 65535u, 65536u, 65537u}) {
        c.push_back({"text" + std::to_string(n), testkit::text_bytes(n, static_cast<uint32_t>(n) + 1)});
        c.push_back({"random" + std::to_string(n), testkit::random_bytes(n, static_cast<uint32_t>(n) + 2)});
    }
    c.push_back({"zeros", std::string(300000, '\0')});
    c.push_back({"runs", runs(500000, 3)});
    c.push_back({"kivra", testkit::read_file(testkit::kivra_bin())});
    // Several slides with text, noise and long repeats mixed.
    std::string mixed;
    for (uint32_t k = 0; mixed.size() < (3u << 20); k++) {
        mixed += testkit::text_bytes(70000, k + 10);
        mixed += testkit::random_bytes(9000, k + 20);
        mixed += mixed.substr(mixed.size() / 3, 20000);
    }
    c.push_back({"mixed", mixed});
    return c;
}

// Inflates one stream at `at`; returns the data and sets `used` to the
// bytes of input consumed.
std::string zinflate(const std::string &in, size_t at, int window_bits, size_t &used, int &rc) {
    z_stream z{};
    EXPECT_EQ(inflateInit2(&z, window_bits), Z_OK);
    z.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(in.data() + at));
    z.avail_in = static_cast<uInt>(in.size() - at);
    std::string out;
    char buf[65536];
    do {
        z.next_out = reinterpret_cast<Bytef *>(buf);
        z.avail_out = sizeof buf;
        rc = inflate(&z, Z_NO_FLUSH);
        out.append(buf, sizeof buf - z.avail_out);
    } while (rc == Z_OK);
    used = z.total_in;
    inflateEnd(&z);
    return out;
}

uint32_t le32(const std::string &s, size_t at) {
    uint32_t v = 0;
    for (int k = 3; k >= 0; k--) v = v << 8 | static_cast<unsigned char>(s[at + static_cast<size_t>(k)]);
    return v;
}

}  // namespace

TEST(EncodeZlib, EverySampleDecodesAsGzip) {
    for (const Sample &s : corpus()) {
        const std::string member = testkit::compress1(s.data, s.name);
        size_t used = 0;
        int rc = 0;
        EXPECT_EQ(zinflate(member, 0, 16 + MAX_WBITS, used, rc) == s.data, true) << s.name;
        EXPECT_EQ(rc, Z_STREAM_END) << s.name;
        EXPECT_EQ(used, member.size()) << s.name;
    }
}

TEST(EncodeZlib, MultiMemberRunDecodesMemberByMember) {
    const std::vector<Sample> c = corpus();
    std::vector<std::pair<std::string, std::string>> files;
    for (const Sample &s : c) files.emplace_back(s.name, s.data);
    const std::string archive = testkit::compress(files);

    size_t at = 0;
    uint64_t total = 0;
    for (size_t i = 0; i < c.size(); i++) {
        SCOPED_TRACE(c[i].name);
        ASSERT_LT(at, archive.size());
        total += c[i].data.size();
        size_t used = 0;
        int rc = 0;
        std::string data;
        if (i == 0) {
            data = zinflate(archive, at, 16 + MAX_WBITS, used, rc);
        } else {
            const size_t header = 10 + c[i].name.size() + 1;
            ASSERT_EQ(archive.substr(at + 10, header - 10), c[i].name + std::string(1, '\0'));
            data = zinflate(archive, at + header, -MAX_WBITS, used, rc);
            used += header;
            EXPECT_EQ(le32(archive, at + used), crc32(0, reinterpret_cast<const Bytef *>(c[i].data.data()),
                                                      static_cast<uInt>(c[i].data.size())));
            EXPECT_EQ(le32(archive, at + used + 4), static_cast<uint32_t>(total));
            used += 8;
        }
        EXPECT_EQ(rc, Z_STREAM_END);
        EXPECT_TRUE(data == c[i].data);
        at += used;
    }
    EXPECT_EQ(at, archive.size());
}
