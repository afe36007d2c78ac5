// Members written by our compressor decode with our own decoder: the
// round-trip corpus (sizes around every buffer boundary of both), each sample
// as a first member, and one multi-member run whose members are decoded one
// by one. Needs no zlib, so it runs on every build.
#include <gtest/gtest.h>

#include <string>

#include "decode_kit.h"
#include "encode_kit.h"
#include "testkit.h"

namespace {

void expect_decodes(const std::string &member, const std::string &data) {
    const testkit::ChildResult r = testkit::decode_member(member);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out.size(), data.size());
    EXPECT_TRUE(r.out == data) << "decoded bytes differ";
}

TEST(EncodeDecodeRoundTrip, EverySampleAsTheFirstMember) {
    for (const auto &[name, data] : testkit::corpus()) {
        SCOPED_TRACE(name);
        expect_decodes(testkit::compress1(data, name), data);
    }
}

// One builder run over the whole corpus. A later member's size field holds
// the running total; the decoder checks it against the member's own length,
// so each member is cut out and its size field set to its own length
// (after checking the total) before it is decoded on its own.
TEST(EncodeDecodeRoundTrip, MultiMemberRunMemberByMember) {
    testkit::Files files = testkit::corpus();
    for (auto &f : files) f.first = "dir/" + f.first;
    const std::string archive = testkit::compress(files);
    const std::vector<testkit::Member> members = testkit::expect_members(archive, files);
    ASSERT_EQ(members.size(), files.size());
    EXPECT_EQ(members.back().end, archive.size());
    for (size_t i = 0; i < files.size(); i++) {
        SCOPED_TRACE(files[i].first);
        std::string one = archive.substr(members[i].start, members[i].end - members[i].start);
        for (size_t k = 0; k < 4; k++) one[one.size() - 4 + k] = static_cast<char>(files[i].second.size() >> (8 * k));
        expect_decodes(one, files[i].second);
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
