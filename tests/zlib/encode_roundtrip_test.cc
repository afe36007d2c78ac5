// Round trips through zlib, used purely as an independent decoder of our
// members: one multi-member run over the round-trip corpus, each member
// decoded on its own as a gzip member.
#include <gtest/gtest.h>
#include <zlib.h>

#include "encode_kit.h"
#include "testkit.h"

namespace {

// Inflates a gzip member; returns the data and sets `used` to the bytes of
// input consumed.
std::string zinflate(const std::string &in, size_t &used, int &rc) {
    z_stream z{};
    EXPECT_EQ(inflateInit2(&z, 16 + MAX_WBITS), Z_OK);
    z.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(in.data()));
    z.avail_in = static_cast<uInt>(in.size());
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

// Each member of one builder run over the corpus, on its own with its size
// field set to its own length, decodes as gzip: header, data, CRC and length.
TEST(EncodeZlib, MultiMemberRunDecodesMemberByMember) {
    const testkit::Files files = testkit::corpus();
    const std::vector<std::string> members = testkit::members_alone(files);
    for (size_t i = 0; i < members.size(); i++) {
        SCOPED_TRACE(files[i].first);
        size_t used = 0;
        int rc = 0;
        EXPECT_TRUE(zinflate(members[i], used, rc) == files[i].second);
        EXPECT_EQ(rc, Z_STREAM_END);
        EXPECT_EQ(used, members[i].size());
    }
}

}  // namespace
