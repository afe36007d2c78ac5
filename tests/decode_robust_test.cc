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

// Random damage: 1 to 3 bytes of the sample member altered (harmless damage
// must give the sample's output), and random bytes after a valid header,
// mostly with dynamic block headers so that they reach the table builder
// with arbitrary code lengths.
TEST(DecodeRobust, RandomDamage) {
    Tokens t = sample_tokens();
    const std::string m = t.member();
    const struct {
        const char *name;
        unsigned seed;
        std::string (*make)(std::mt19937 &rng, int round, const std::string &m);
        bool sample;
    } cases[] = {
        {"corrupted sample", 12345,
         [](std::mt19937 &rng, int round, const std::string &m) {
             std::string bad = m;
             for (int f = 0; f <= round % 3; f++) {
                 const size_t at = rng() % bad.size();
                 bad[at] = static_cast<char>(bad[at] ^ (1 + rng() % 255));
             }
             return bad;
         },
         true},
        {"random body", 777,
         [](std::mt19937 &rng, int round, const std::string &) {
             std::string body = random_bytes(20 + rng() % 300, static_cast<unsigned>(rng()));
             body[0] = static_cast<char>((body[0] & ~6) | (round % 4 == 0 ? 2 : 4));
             return header_bytes_of(Header{}) + body;
         },
         false},
    };
    for (const auto &c : cases) {
        std::mt19937 rng(c.seed);
        for (int round = 0; round < 1000; round++) {
            ChildResult r = decode_member(c.make(rng, round, m));
            ASSERT_FALSE(r.signaled) << c.name << " " << round << ": " << r.err;
            if (r.status != 0) {
                EXPECT_EQ(r.status, 1) << c.name << " " << round;
                EXPECT_TRUE(allowed_error(r.err)) << c.name << " " << round << ": " << r.err;
            } else if (c.sample) {
                EXPECT_EQ(r.out, t.plain) << round;
                EXPECT_EQ(r.err, "") << round;
            }
        }
    }
}

}  // namespace
