// Member writer and match finder: golden members and exact symbol sequences,
// checked with the test-side DEFLATE reader.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>

#include "encode_kit.h"
#include "stream.h"
#include "testkit.h"

using testkit::lit;
using testkit::match;
using testkit::Symbol;

namespace {
std::vector<Symbol> symbols_of(const std::string &member) {
    auto ms = testkit::parse_members(member);
    EXPECT_EQ(ms.size(), 1u);
    EXPECT_TRUE(ms[0].ok) << ms[0].error;
    std::vector<Symbol> all;
    for (const auto &b : ms[0].body.blocks) all.insert(all.end(), b.syms.begin(), b.syms.end());
    return all;
}
}  // namespace

TEST(EncodeMember, EmptyFileIsTheTwentyTwoByteMember) {
    EXPECT_EQ(testkit::hex(testkit::compress1("", "a")),
              "1f 8b 08 08 00 00 00 00 02 03 61 00 03 00 00 00 00 00 00 00 00 00");
}

// One member per file storing the base name only; bytes_in runs on across
// members and the size fields with it, the CRC restarts for each.
TEST(EncodeMember, BaseNamesRunningSizesAndCrcs) {
    const testkit::Files files = {{"dir/sub/name", testkit::random_bytes(100, 7)}, {"dir/", testkit::text_bytes(50, 9)},
                                  {"plain", ""}, {"/abs/x.tar", "xyz"}};
    testkit::expect_members(testkit::compress(files), files);
    EXPECT_EQ(bytes_in, 153);
}

// The string at window index 0 cannot be a match source, so the run starts
// with two literals; then maximal matches at distance 1, the last one cut by
// the end of the input. 258 goes out as code 285 without extra bits.
TEST(EncodeMember, ThousandEqualBytes) {
    auto syms = symbols_of(testkit::compress1(std::string(1000, 'x')));
    const std::vector<Symbol> want = {lit('x'), lit('x'), match(258, 1), match(258, 1), match(258, 1),
                                      match(224, 1)};
    ASSERT_EQ(syms, want);
    EXPECT_EQ(syms[2].lcode, 285);
}

// Random input goes into stored blocks of at most 32 KiB, the last one final:
// 10 header bytes, "a\0", 5 bytes per stored block, 8 trailer bytes. The
// second member is exactly 65536 bytes long, four whole output buffers.
TEST(EncodeMember, RandomInputGoesIntoStoredBlocks) {
    for (const auto &[size, blocks] : {std::pair<size_t, size_t>{100000, 4}, {65506, 2}}) {
        const std::string data = testkit::random_bytes(size, size == 100000 ? 12345 : 8);
        const std::string member = testkit::compress1(data);
        auto ms = testkit::parse_members(member);
        ASSERT_TRUE(ms[0].ok) << ms[0].error;
        ASSERT_EQ(ms[0].body.blocks.size(), blocks);
        for (size_t i = 0; i < blocks; i++) {
            EXPECT_EQ(ms[0].body.blocks[i].type, 0) << i;
            EXPECT_EQ(ms[0].body.blocks[i].final, i == blocks - 1) << i;
        }
        EXPECT_TRUE(ms[0].body.data == data);
        EXPECT_EQ(member.size(), 10 + 2 + data.size() + blocks * 5 + 8);
    }
}

// A 3-byte match is worth it only up to distance 4096. The probe string is
// made of bytes that the filler never uses, so it matches only itself.
TEST(EncodeMember, ThreeByteMatchDistanceLimit) {
    struct Case {
        unsigned distance;
        bool matched;
    } cases[] = {{4095, true}, {4096, true}, {4097, false}, {5000, false}};
    for (const Case &c : cases) {
        std::string filler = testkit::random_bytes(c.distance + 100, c.distance);
        for (char &ch : filler) ch = static_cast<char>(static_cast<unsigned char>(ch) % 200);
        std::string data = filler.substr(0, 10) + "\xfa\xfb\xfc\xfd";
        data += filler.substr(10, c.distance - 4);
        const size_t probe = data.size();
        ASSERT_EQ(probe, 10 + c.distance);
        data += "\xfa\xfb\xfc\xfe" + filler.substr(c.distance, 50);

        auto syms = symbols_of(testkit::compress1(data));
        size_t pos = 0;
        bool found = false, seen = false;
        for (const Symbol &s : syms) {
            if (pos == probe) {
                seen = true;
                found = s.lit < 0 && s.len == 3 && s.dist == static_cast<int>(c.distance);
            }
            pos += s.lit >= 0 ? 1 : static_cast<size_t>(s.len);
        }
        EXPECT_TRUE(seen) << c.distance;
        EXPECT_EQ(found, c.matched) << c.distance;
    }
}

// Lazy evaluation: the match at the previous position wins ties; a longer
// match one byte later wins over it.
TEST(EncodeMember, LazyEvaluationTies) {
    struct Case {
        const char *name;
        std::string data;
        std::vector<Symbol> tail;  // the symbols that code the final probe
    } cases[] = {
        {"tie goes to the previous match", "#abcd!bcde%abcde", {match(4, 10), lit('e')}},
        {"longer match one byte later wins", "#abcd!bcdef%abcdef", {lit('a'), match(5, 7)}},
        {"shorter match later loses", "#abcde!bcd%abcde", {match(5, 10)}},
    };
    for (const Case &c : cases) {
        auto syms = symbols_of(testkit::compress1(c.data));
        ASSERT_GE(syms.size(), c.tail.size()) << c.name;
        std::vector<Symbol> tail(syms.end() - static_cast<long>(c.tail.size()), syms.end());
        EXPECT_EQ(tail, c.tail) << c.name;
    }
}

// Reading the input fails (a directory): the process must not write a
// member that silently lacks the data.
TEST(EncodeMember, ReadErrorIsFatal) {
    testkit::TempDir dir;
    testkit::RunResult r = testkit::run_forked([&] {
        static char prog[] = "kivra";
        progname = prog;
        std::snprintf(ifname, sizeof ifname, "%s", dir.path().c_str());
        bytes_in = 0;
        zip(open(dir.path().c_str(), O_RDONLY | O_DIRECTORY), open("/dev/null", O_WRONLY));
        return 0;
    });
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "\nkivra: " + dir.path() + ": Is a directory\n");
}
