// Trailer search: where the first magic is found, how the four strings are
// read back, and which files are refused.
#include <gtest/gtest.h>

#include <string>
#include <unistd.h>

#include "kivra.h"
#include "testkit.h"

namespace {

using testkit::kMagic;
const auto trailer = testkit::trailer_bytes;

struct SearchCase {
    const char *name;
    std::string file;
    long long preamble_end;  // -1: no archive
    std::string features, comment, run, extract;
};

TEST(TrailerSearch, FindsFirstMagicAndLoadsStrings) {
    const std::string zeros(10000, '\0');
    const std::string k_then = std::string(100, 'x') + "k";
    const SearchCase cases[] = {
        {"magic at offset 0", trailer("F", "C", "R", "P") + "payload", 19, "F", "C", "R", "P"},
        {"after 10000 zeros", zeros + trailer("A=1", "c", "", "") + "data", 10000 + 11 + 4 + 2 + 1 + 1,
         "A=1", "c", "", ""},
        {"straddles the 8191-byte read", std::string(8186, 'z') + trailer("x", "", "", "") + "p",
         8186 + 11 + 2 + 3, "x", "", "", ""},
        {"ends exactly at the read boundary", std::string(8191 - 11, 'z') + trailer("", "", "", ""),
         8191 + 4, "", "", "", ""},
        {"stub ends with the first magic byte", k_then + trailer("f", "c", "r", "p"), 101 + 19, "f", "c",
         "r", "p"},
        {"stub ends with nearly all of the magic", "kivra+mag" + trailer("f", "", "", ""), 9 + 11 + 5, "f",
         "", "", ""},
        {"overlapping starts", "kkivra+magkivra+mag" + trailer("", "c", "", ""), 19 + 11 + 5, "", "c", "",
         ""},
        {"magic completed by the first byte of the next", "kivra+magi" + trailer("f", "", "", ""),
         10 + 11 + 5, "ivra+magikf", "", "", ""},
        {"two magics: the first wins", trailer("first", "1", "", "") + trailer("second", "2", "", ""),
         11 + 6 + 2 + 1 + 1, "first", "1", "", ""},
        {"four empty strings", "stub" + trailer("", "", "", "") + "P", 4 + 15, "", "", "", ""},
        {"cut inside the comment", "S" + kMagic + "feat" + '\0' + "comm", 1 + 11 + 5 + 4, "feat", "comm", "",
         ""},
        {"cut right after the magic", "S" + kMagic, 12, "", "", "", ""},
        {"longest strings that fit",
         trailer(std::string(TEXT_MAX, 'f'), std::string(TEXT_MAX, 'c'), std::string(TEXT_MAX, 'r'),
                 std::string(TEXT_MAX, 'p')),
         11 + 4 * TEXT_BUF, std::string(TEXT_MAX, 'f'), std::string(TEXT_MAX, 'c'),
         std::string(TEXT_MAX, 'r'), std::string(TEXT_MAX, 'p')},
        {"no magic", std::string(20000, 'k'), -1, "", "", "", ""},
        {"magic missing its last byte", "kivra+magi", -1, "", "", "", ""},
        {"empty file", "", -1, "", "", "", ""},
    };
    testkit::TempDir dir;
    for (const SearchCase &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = dir.file("archive");
        testkit::write_file(path, c.file, 0755);
        features[0] = comment[0] = run_program[0] = pipe_program[0] = '\0';
        std::string p = path;
        int fd = find_preamble(p.data());
        if (c.preamble_end < 0) {
            EXPECT_EQ(fd, -1);
            continue;
        }
        ASSERT_GE(fd, 0);
        EXPECT_EQ(preamble_end, c.preamble_end);
        EXPECT_EQ(lseek(fd, 0, SEEK_CUR), c.preamble_end);
        EXPECT_EQ(features, c.features);
        EXPECT_EQ(comment, c.comment);
        EXPECT_EQ(run_program, c.run);
        EXPECT_EQ(pipe_program, c.extract);
        close(fd);
    }
}

// A trailer string that does not fit its buffer: the file is no archive of
// ours, and cutting a shell command short could change what it does. A file
// that is not there is refused too (an empty row: nothing is written).
TEST(TrailerSearch, RefusesLongStringsAndMissingFiles) {
    const std::string ok(TEXT_MAX, 'a'), too_long(TEXT_BUF, 'a');
    const std::string files[] = {
        trailer(too_long, "", "", ""),
        trailer("", too_long, "", ""),
        trailer("", "", too_long, ""),
        trailer(ok, ok, ok, too_long),
        kMagic + too_long,  // no NUL at all before the end
        "",
    };
    testkit::TempDir dir;
    for (const std::string &file : files) {
        std::string path = dir.file(file.empty() ? "missing" : "long");
        if (!file.empty()) testkit::write_file(path, file, 0755);
        EXPECT_EQ(testkit::stderr_of([&] { EXPECT_EQ(find_preamble(path.data()), -1); }),
                  file.empty() ? "find_preamble: unable to find kivra to build preamble\n"
                               : "find_preamble: " + path + ": trailer string longer than 1023 bytes, not an archive\n");
    }
}

TEST(TrailerSearch, UnreadableFile) {
    if (geteuid() == 0) GTEST_SKIP() << "running as root: a file without read permission is still readable";
    testkit::TempDir dir;
    std::string locked = dir.file("locked");
    testkit::write_file(locked, trailer("", "", "", ""), 0111);
    EXPECT_EQ(testkit::stderr_of([&] { EXPECT_EQ(find_preamble(locked.data()), -1); }),
              locked + ": Permission denied\n");
}

}  // namespace
