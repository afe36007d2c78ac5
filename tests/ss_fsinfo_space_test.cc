// Filesystem space: the megabyte and percentage arithmetic on recorded
// statfs counts, and the queries on real paths of this machine. (Of
// FsBlocksUsed, FsBlocksFree and FsMegsUsed, which the program does not call,
// only the answer for a path that cannot be queried is fixed.)
#include <gtest/gtest.h>

#include <cstdint>
#include <sys/stat.h>
#include <sys/statfs.h>

#include "ss.h"
#include "testkit.h"

namespace {

struct JudgeCase {
    const char *what;
    FsCounts counts;  // bsize, blocks, bavail
    int opts;
    unsigned value;
    int result;
    uint64_t megs;
};

constexpr uint64_t MiB = 1048576;

const JudgeCase kJudgeCases[] = {
    // 4096-byte blocks: 256 blocks per megabyte, truncated.
    {"4k exact", {4096, 2000000, 1000000}, 2, 3906, 1, 3906},
    {"4k one more", {4096, 2000000, 1000000}, 2, 3907, 0, 3906},
    {"4k just short of a meg", {4096, 1000, 255}, 2, 1, 0, 0},
    // 512-byte blocks and anything smaller: 2048 blocks per megabyte.
    {"512", {512, 10000, 4096}, 2, 2, 1, 2},
    {"below 512", {100, 10000, 4095}, 2, 2, 0, 1},
    // 3072 bytes is 6 units: 341 blocks per megabyte, not 341.33.
    {"3072", {3072, 10000, 682}, 2, 2, 1, 2},
    {"3072 short", {3072, 10000, 681}, 2, 2, 0, 1},
    // Not a multiple of 512: rounded down to 4096.
    {"4100", {4100, 10000, 512}, 2, 2, 1, 2},
    {"1 MiB", {MiB, 100, 7}, 2, 7, 1, 7},
    // Above a megabyte: free megabytes = blocks x (block size / 1 MiB).
    {"1 MiB + 512", {MiB + 512, 100, 7}, 2, 7, 1, 7},
    {"2 MiB", {2 * MiB, 100, 7}, 2, 14, 1, 14},
    {"4 MiB short", {4 * MiB, 100, 7}, 2, 29, 0, 28},
    {"4 MiB none free", {4 * MiB, 100, 0}, 2, 0, 1, 0},
    {"huge blocks saturate", {UINT64_MAX, 100, UINT64_MAX}, 2, 5, 1, UINT64_MAX},
    // Percentage in single precision, truncated: 0.53f x 100 is 52.99...
    {"pct 50", {4096, 100, 50}, 1, 50, 1, 0},
    {"pct 53 of 100 is 52 in float", {4096, 100, 53}, 1, 53, 0, 0},
    {"pct 29 of 100 is 29 in float", {4096, 100, 29}, 1, 29, 1, 0},
    {"pct 1 of 3", {4096, 3, 1}, 1, 34, 0, 0},
    {"pct zero total asks 0", {4096, 0, 0}, 1, 0, 1, 0},
    {"pct zero total asks 1", {4096, 0, 0}, 1, 1, 0, 0},
    {"pct megs still stored", {4096, 1024, 512}, 1, 50, 1, 2},
    {"unknown opts", {4096, 1024, 512}, 3, 0, -1, 2},
};

TEST(FsJudgeTable, RecordedCounts) {
    for (const JudgeCase &c : kJudgeCases) {
        uint64_t megs = 12345;
        EXPECT_EQ(FsJudge(c.opts, c.counts, c.value, &megs), c.result) << c.what;
        EXPECT_EQ(megs, c.megs) << c.what;
        EXPECT_EQ(FsMegsAvail(c.counts), c.megs) << c.what;
    }
}

TEST(FsQueries, UnqueryablePathLeavesOutputsAlone) {
    const char *missing = "/nonexistent/kivra/path";
    int is_root = 7;
    uint64_t megs = 99;
    EXPECT_EQ(FsHasMegSpace(missing, 1, &is_root, &megs), -1);
    EXPECT_EQ(FsHasPrtSpace(missing, 1, &is_root, &megs), -1);
    EXPECT_EQ(is_root, 7);
    EXPECT_EQ(megs, 99u);
    EXPECT_EQ(FsCompare(missing, "/"), -1);
    EXPECT_EQ(FsCompare("/", missing), -1);
    EXPECT_EQ(FsBlocksUsed(missing, 512), 0.0);
    EXPECT_EQ(FsBlocksFree(missing, 512), 0.0);
    EXPECT_EQ(FsMegsUsed(missing), 0.0);
}

TEST(FsQueries, RootAndSeparateFilesystems) {
    struct Case {
        const char *path;
        int is_root;
    } cases[] = {{"/", 1}, {"/etc", 1}, {"/proc", 0}};
    for (const Case &c : cases) {
        int is_root = 7;
        uint64_t megs = 0;
        EXPECT_NE(FsHasMegSpace(c.path, 0, &is_root, &megs), -1) << c.path;
        EXPECT_EQ(is_root, c.is_root) << c.path;
        EXPECT_EQ(FsCompare(c.path, "/"), c.is_root) << c.path;
    }
}

TEST(FsQueries, MegabytesMatchStatfs) {
    struct statfs st;
    ASSERT_EQ(statfs("/", &st), 0);
    FsCounts counts{static_cast<uint64_t>(st.f_bsize), st.f_blocks, st.f_bavail};
    int is_root = 0;
    uint64_t megs = 0;
    ASSERT_EQ(FsHasMegSpace("/", 0, &is_root, &megs), 1);
    // Free space can move between the two queries; a megabyte of slack.
    EXPECT_LE(megs > FsMegsAvail(counts) ? megs - FsMegsAvail(counts) : FsMegsAvail(counts) - megs, 1u);
}

TEST(FsWritable, ModesAndProbe) {
    testkit::TempDir tmp;
    mkdir(tmp.file("open").c_str(), 0755);
    mkdir(tmp.file("closed").c_str(), 0555);
    struct Case {
        std::string path;
        int result;
    } cases[] = {
        {tmp.file("open"), 1},
        {tmp.file("closed"), 0},    // no write bit: not probed
        {tmp.file("missing"), 0},
        {"/proc", 0},
    };
    for (const Case &c : cases) EXPECT_EQ(FsIsWritable(c.path.c_str()), c.result) << c.path;
    // The probe is removed again.
    EXPECT_EQ(testkit::sh("ls -A " + tmp.file("open")).out, "");
}

}  // namespace
