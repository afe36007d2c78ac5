// Members written by our compressor decode with our own decoder: a corpus of
// text, binaries, runs and random data at sizes around every buffer boundary
// of both (input fill, window halves, lookahead), and a multi-member run
// whose members are decoded one by one. Needs no zlib, so it runs on every
// build.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "decode_kit.h"
#include "encode_kit.h"
#include "testkit.h"

namespace {

struct Sample {
    std::string name, data;
};

// Runs of random bytes with random lengths from 1 to 300.
std::string runs(size_t n, uint32_t seed) {
    const std::string r = testkit::random_bytes(n / 64 + 1, seed);
    std::string s;
    for (size_t i = 0; s.size() < n; i++) s.append(1 + static_cast<unsigned char>(r[i % r.size()]) % 300, r[i % r.size()]);
    s.resize(n);
    return s;
}

std::vector<Sample> corpus() {
    std::vector<Sample> c;
    for (size_t n : {0u, 1u, 2u, 261u, 262u, 263u, 32767u, 32768u, 32769u, 65274u, 65275u, 65535u, 65536u, 65537u}) {
        const std::string k = std::to_string(n);
        c.push_back({"text" + k, testkit::text_bytes(n, static_cast<uint32_t>(n) + 1)});
        c.push_back({"random" + k, testkit::random_bytes(n, static_cast<uint32_t>(n) + 2)});
        c.push_back({"runs" + k, runs(n, static_cast<uint32_t>(n) + 3)});
    }
    c.push_back({"zeros", std::string(300000, '\0')});
    c.push_back({"kivra", testkit::read_file(testkit::kivra_bin())});
    // Several window slides, with text, noise and long repeats from far back.
    std::string mixed;
    for (uint32_t k = 0; mixed.size() < (1u << 20); k++) {
        mixed += testkit::text_bytes(40000, k + 10);
        mixed += testkit::random_bytes(7000, k + 20);
        mixed += mixed.substr(mixed.size() / 3, 15000);
    }
    c.push_back({"mixed", mixed});
    return c;
}

void put_le32(std::string &s, size_t at, uint32_t v) {
    for (int k = 0; k < 4; k++) s[at + static_cast<size_t>(k)] = static_cast<char>(v >> (8 * k));
}

void expect_decodes(const std::string &member, const std::string &data) {
    const testkit::ChildResult r = testkit::decode_member(member);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out.size(), data.size());
    EXPECT_TRUE(r.out == data) << "decoded bytes differ";
}

TEST(EncodeDecodeRoundTrip, EverySampleAsTheFirstMember) {
    for (const Sample &s : corpus()) {
        SCOPED_TRACE(s.name);
        expect_decodes(testkit::compress1(s.data, s.name), s.data);
    }
}

// One builder run over the whole corpus. A later member's size field holds
// the running total; the decoder checks it against the member's own length,
// so each member is cut out and its size field set to its own length
// (after checking the total) before it is decoded on its own.
TEST(EncodeDecodeRoundTrip, MultiMemberRunMemberByMember) {
    const std::vector<Sample> c = corpus();
    std::vector<std::pair<std::string, std::string>> files;
    for (const Sample &s : c) files.emplace_back("dir/" + s.name, s.data);
    const std::string archive = testkit::compress(files);

    const std::vector<testkit::Member> members = testkit::parse_members(archive);
    ASSERT_EQ(members.size(), c.size());
    EXPECT_EQ(members.back().end, archive.size());
    uint32_t total = 0;
    for (size_t i = 0; i < c.size(); i++) {
        SCOPED_TRACE(c[i].name);
        const testkit::Member &m = members[i];
        ASSERT_TRUE(m.ok) << m.error;
        EXPECT_EQ(m.name, c[i].name);
        total += static_cast<uint32_t>(c[i].data.size());
        EXPECT_EQ(m.isize, total);
        std::string one = archive.substr(m.start, m.end - m.start);
        put_le32(one, one.size() - 4, static_cast<uint32_t>(c[i].data.size()));
        expect_decodes(one, c[i].data);
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
