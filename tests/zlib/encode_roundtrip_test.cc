// Round trips through zlib, used purely as an independent decoder of our
// members: each sample of the round-trip corpus as a gzip member, and one
// multi-member run whose members are decoded as raw DEFLATE (their size
// fields hold the running total, which gzip decoders reject).
#include <gtest/gtest.h>
#include <zlib.h>

#include "encode_kit.h"
#include "testkit.h"

namespace {

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

TEST(EncodeZlib, EverySampleDecodesAsGzip) {
    for (const auto &[name, data] : testkit::corpus()) {
        const std::string member = testkit::compress1(data, name);
        size_t used = 0;
        int rc = 0;
        EXPECT_TRUE(zinflate(member, 0, 16 + MAX_WBITS, used, rc) == data) << name;
        EXPECT_EQ(rc, Z_STREAM_END) << name;
        EXPECT_EQ(used, member.size()) << name;
    }
}

TEST(EncodeZlib, MultiMemberRunDecodesMemberByMember) {
    const testkit::Files files = testkit::corpus();
    const std::string archive = testkit::compress(files);
    const std::vector<testkit::Member> members = testkit::expect_members(archive, files);
    ASSERT_EQ(members.size(), files.size());
    for (size_t i = 0; i < files.size(); i++) {
        SCOPED_TRACE(files[i].first);
        const size_t body = members[i].start + 10 + files[i].first.size() + 1;
        size_t used = 0;
        int rc = 0;
        EXPECT_TRUE(zinflate(archive, body, -MAX_WBITS, used, rc) == files[i].second);
        EXPECT_EQ(rc, Z_STREAM_END);
        EXPECT_EQ(body + used + 8, members[i].end);
    }
    EXPECT_EQ(members.back().end, archive.size());
}

}  // namespace
