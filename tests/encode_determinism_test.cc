// Equal input gives equal bytes on every build and for every number of
// threads: a digest of the members built from a fixed corpus is recorded
// here, so the x86-64 and the i386 test runs both prove that they produce
// these exact bytes. Also round trips through the test-side reader at every
// level (zlib is not available to the i386 build).
#include <gtest/gtest.h>

#include <map>

#include "encode_kit.h"
#include "stream.h"

namespace {

testkit::Files fixed_corpus() {
    testkit::Files c;
    for (uint32_t n : {0u, 1u, 261u, 262u, 32767u, 32768u, 65274u, 65400u, 65536u})
        c.emplace_back(std::to_string(n).insert(0, 1, 't'), testkit::text_bytes(n, n + 3));
    c.emplace_back("random", testkit::random_bytes(100000, 42));
    c.emplace_back("run", std::string(70000, 'r'));
    std::string mixed;
    for (uint32_t k = 0; mixed.size() < 1500000; k++) {
        mixed += testkit::text_bytes(50000, k);
        mixed += testkit::random_bytes(3000 + k * 100, k);
        mixed += mixed.substr(mixed.size() / 2, 5000);
    }
    c.emplace_back("dir/mixed", mixed);
    return c;
}

// A level, and members made on several threads in pieces of the least size
// so that every input of the corpus from 64 KiB on is cut at least once.
struct Settings {
    Settings(int l, unsigned threads) { level = l, zip_threads = threads, zip_chunk = WSIZE; }
    ~Settings() { level = 9, zip_threads = 1, zip_chunk = 512 * 1024; }
};

}  // namespace

// Every level on 1, 2 and 3 threads decodes back to its input, and the
// extra-flags byte says 2 at level 9, 4 at level 1 and 0 otherwise (levels
// 1..3 use the greedy variant); levels 9, 6 and 1 give the recorded bytes.
TEST(EncodeDeterminism, EveryLevelRoundTripsDigestsOfFixedCorpus) {
    const std::map<int, std::pair<uint32_t, size_t>> digests = {
        {9, {0xb20eb052u, 566544}}, {6, {0xb6e4a17bu, 577536}}, {1, {0x919cf78eu, 708582}}};
    const auto corpus = fixed_corpus();
    for (int l = 1; l <= 9; l++) {
        for (unsigned threads : {1u, 2u, 3u}) {
            SCOPED_TRACE("level " + std::to_string(l) + ", threads " + std::to_string(threads));
            Settings g(l, threads);
            const std::string archive = testkit::compress(corpus);
            for (const testkit::Member &m : testkit::expect_members(archive, corpus))
                EXPECT_EQ(static_cast<unsigned char>(archive[m.start + 8]), l == 9 ? 2 : l == 1 ? 4 : 0);
            if (digests.count(l)) {
                EXPECT_EQ(std::pair(testkit::crc32_of(archive), archive.size()), digests.at(l));
            }
        }
    }
}

TEST(EncodeDeterminismDeathTest, LevelOutsideOneToNineIsFatal) {
    static char prog[] = "kivra";
    progname = prog;
    for (int bad : {0, 10}) {
        EXPECT_EXIT(
            {
                level = bad;
                testkit::compress1("abc", "in");
            },
            testing::ExitedWithCode(1), "^\nkivra: in: bad pack level\n$");
    }
}
