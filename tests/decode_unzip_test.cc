// The member decoder: output written in full before the trailer checks, the
// CRC checked before the length, and each fatal message.
#include <gtest/gtest.h>

#include <string>

#include "decode_kit.h"
#include "kivra.h"

using namespace testkit;

namespace {

const std::string kCrc = "\nkivra: in.gz: invalid compressed data--crc error\n";
const std::string kLength = "\nkivra: in.gz: invalid compressed data--length error\n";
const std::string kFormat = "\nkivra: in.gz: invalid compressed data--format violated\n";
const std::string kEof = "\nkivra: in.gz: unexpected end of file\n";

std::string flip(std::string s, size_t at, unsigned char mask) {
    s[at] = static_cast<char>(s[at] ^ mask);
    return s;
}

struct TrailerCase {
    const char *name;
    std::string (*alter)(const std::string &member);  // member -> altered member
    bool full_output;
    const std::string *err;
    int status;
};

const TrailerCase kTrailerCases[] = {
    {"intact", [](const std::string &m) { return m; }, true, nullptr, 0},
    {"CRC altered", [](const std::string &m) { return flip(m, m.size() - 8, 1); }, true, &kCrc, 1},
    {"CRC high byte altered", [](const std::string &m) { return flip(m, m.size() - 5, 0x80); }, true,
     &kCrc, 1},
    {"length altered", [](const std::string &m) { return flip(m, m.size() - 4, 1); }, true, &kLength, 1},
    {"length high byte altered", [](const std::string &m) { return flip(m, m.size() - 1, 0x80); }, true,
     &kLength, 1},
    {"CRC and length altered",
     [](const std::string &m) { return flip(flip(m, m.size() - 8, 1), m.size() - 4, 1); }, true, &kCrc, 1},
    {"trailer cut short", [](const std::string &m) { return m.substr(0, m.size() - 3); }, true, &kEof, 1},
    // The last code may need bits from where the trailer would be.
    {"no trailer", [](const std::string &m) { return m.substr(0, m.size() - 8); }, false, &kEof, 1},
    {"garbage after the trailer", [](const std::string &m) { return m + "trailing garbage"; }, true,
     nullptr, 0},
    {"second member after the trailer", [](const std::string &m) { return m + m; }, true, nullptr, 0},
};

class UnzipTrailer : public ::testing::TestWithParam<TrailerCase> {};

TEST_P(UnzipTrailer, Case) {
    const TrailerCase &c = GetParam();
    Tokens t = sample_tokens();
    ChildResult r = decode_member(c.alter(t.member()));
    ASSERT_FALSE(r.signaled);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.err, c.err ? *c.err : std::string());
    if (c.full_output) {
        EXPECT_EQ(r.out, t.plain);
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, UnzipTrailer, ::testing::ValuesIn(kTrailerCases), CaseName());

TEST(Unzip, FormatViolationKeepsEarlierOutputAndMessageOrder) {
    // A first block decodes and is flushed; the second has an incomplete
    // literal code: its line comes before the fatal message.
    Tokens t;
    t.stored(std::string(70000, 'x'), false);
    std::vector<unsigned> lit(257, 0);
    lit['a'] = 1;
    lit[256] = 2;
    t.dynamic_begin(true, lit, {1});
    ChildResult r = decode_member(t.member());
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, " incomplete literal tree\n" + kFormat);
    EXPECT_EQ(r.out, std::string(65536, 'x'));  // one full 64 KiB window reached the output
}

// unzip entered directly: after a method it does not know, after 4 GiB of
// output (the trailer holds only the low 32 bits of the length), and the
// count of bytes written.
TEST(Unzip, EnteredDirectly) {
    Tokens t = sample_tokens();
    const std::string full = t.member(), body = full.substr(10);
    const struct {
        const char *name;
        const std::string &input;
        int (*run)();
        int status;
        std::string out, err;
    } cases[] = {
        {"method other than deflate", body, [] { return method = 0, unzip(0, 1); }, 1, "",
         "\nkivra: in.gz: internal error, invalid method\n"},
        {"length compared modulo 2^32", body, [] { return bytes_out = 1LL << 32, unzip(0, 1); }, 0, t.plain, ""},
        {"bytes_out counts the output", full,
         [] {
             get_method(0);
             unzip(0, 1);
             return std::fprintf(stderr, "%lld", static_cast<long long>(bytes_out)), 0;
         },
         0, t.plain, std::to_string(t.plain.size())},
    };
    for (const auto &c : cases) {
        ChildResult r = run_child(c.input, c.run);
        EXPECT_EQ(r.status, c.status) << c.name;
        EXPECT_EQ(r.out, c.out) << c.name;
        EXPECT_EQ(r.err, c.err) << c.name;
    }
}

}  // namespace
