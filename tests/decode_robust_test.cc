// Damaged members: truncation at every offset and random corruption. The
// decoder must end with one of its own messages and status 1 (or, when the
// damage is harmless, with the correct output and status 0); never a crash,
// a hang or a read out of bounds (run under the sanitizer build too).
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "decode_kit.h"

using namespace testkit;

namespace {

const std::string kPrefix = "\nkivra: in.gz: ";

// The messages a damaged member may produce.
bool allowed_error(const std::string &err) {
    static const char *const kFatal[] = {
        "unexpected end of file",
        "invalid compressed data--format violated",
        "invalid compressed data--crc error",
        "invalid compressed data--length error",
        "corrupted input -- file name too large",
    };
    std::string rest = err;
    for (const char *line : {" incomplete literal tree\n", " incomplete distance tree\n"}) {
        if (rest.rfind(line, 0) == 0) rest = rest.substr(std::string(line).size());
    }
    for (const char *m : kFatal) {
        if (rest == kPrefix + m + "\n") return true;
    }
    if (rest == "kivra: can only handle GZIP compression method\n") return true;
    return rest.rfind("kivra: in.gz: unknown method ", 0) == 0 &&
           rest.find(" -- get newer version of gzip\n") != std::string::npos;
}

TEST(DecodeRobust, TruncatedAtEveryOffset) {
    Tokens t = sample_tokens();
    const std::string m = t.member();
    for (size_t cut = 0; cut < m.size(); cut++) {
        ChildResult r = decode_member(m.substr(0, cut));
        ASSERT_FALSE(r.signaled) << "cut at " << cut;
        EXPECT_EQ(r.status, 1) << "cut at " << cut;
        EXPECT_EQ(r.err, kPrefix + "unexpected end of file\n") << "cut at " << cut;
        EXPECT_EQ(t.plain.compare(0, r.out.size(), r.out), 0) << "cut at " << cut;
    }
}

TEST(DecodeRobust, RandomCorruption) {
    Tokens t = sample_tokens();
    const std::string m = t.member();
    std::mt19937 rng(12345);
    for (int round = 0; round < 1000; round++) {
        std::string bad = m;
        const int flips = 1 + round % 3;
        for (int f = 0; f < flips; f++) {
            const size_t at = rng() % bad.size();
            bad[at] = static_cast<char>(bad[at] ^ (1 + rng() % 255));
        }
        ChildResult r = decode_member(bad);
        ASSERT_FALSE(r.signaled) << "round " << round << ": " << r.err;
        if (r.status == 0) {
            EXPECT_EQ(r.out, t.plain) << "round " << round;
            EXPECT_EQ(r.err, "") << "round " << round;
        } else {
            EXPECT_EQ(r.status, 1) << "round " << round;
            EXPECT_TRUE(allowed_error(r.err)) << "round " << round << ": " << r.err;
        }
    }
}

// Random bytes after a valid header exercise the table builder with
// arbitrary code lengths.
TEST(DecodeRobust, RandomBodies) {
    std::mt19937 rng(777);
    for (int round = 0; round < 1000; round++) {
        std::string body = random_bytes(20 + rng() % 300, static_cast<unsigned>(rng()));
        // Mostly dynamic block headers: they reach the table builder.
        body[0] = static_cast<char>((body[0] & ~6) | (round % 4 == 0 ? 2 : 4));
        ChildResult r = decode_member(header_bytes_of(Header{}) + body);
        ASSERT_FALSE(r.signaled) << "round " << round << ": " << r.err;
        if (r.status != 0) {
            EXPECT_TRUE(allowed_error(r.err)) << "round " << round << ": " << r.err;
        }
    }
}

}  // namespace
