// Members written by our compressor decode with our own decoder: one
// multi-member run over the round-trip corpus (sizes around every buffer
// boundary of both), its members decoded one by one. Needs no zlib, so it
// runs on every build.
#include <gtest/gtest.h>

#include <string>

#include "decode_kit.h"
#include "encode_kit.h"
#include "testkit.h"

namespace {

// One builder run over the whole corpus, each member cut out on its own and
// decoded (its size field set to its own length: a later member's holds the
// running total, which the decoder checks against the member's own length).
TEST(EncodeDecodeRoundTrip, MultiMemberRunMemberByMember) {
    testkit::Files files = testkit::corpus();
    for (auto &f : files) f.first = "dir/" + f.first;
    const std::vector<std::string> members = testkit::members_alone(files);
    for (size_t i = 0; i < members.size(); i++) {
        SCOPED_TRACE(files[i].first);
        const testkit::ChildResult r = testkit::decode_member(members[i]);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.out.size(), files[i].second.size());
        EXPECT_TRUE(r.out == files[i].second) << "decoded bytes differ";
    }
}

// Without the fix-up, a later member fails the length check (and only that):
// the CRC restarts per member, the size does not.
TEST(EncodeDecodeRoundTrip, LaterMemberCarriesTheRunningTotal) {
    const std::string archive = testkit::compress({{"a", std::string(100, 'a')}, {"b", std::string(50, 'b')}});
    const std::vector<testkit::Member> members = testkit::parse_members(archive);
    ASSERT_EQ(members.size(), 2u);
    const testkit::ChildResult first = testkit::decode_member(archive);
    EXPECT_EQ(first.status, 0) << first.err;
    EXPECT_EQ(first.out, std::string(100, 'a'));
    const testkit::ChildResult second = testkit::decode_member(archive.substr(members[1].start));
    EXPECT_EQ(second.status, 1);
    EXPECT_EQ(second.out, std::string(50, 'b'));
    EXPECT_EQ(second.err, std::string("\nkivra: ") + testkit::kIfname + ": invalid compressed data--length error\n");
}

}  // namespace
