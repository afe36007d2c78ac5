// The listing of archives (do_list), run on hand-built archives: trailer
// lines, the column header once per run, sizes, ratio, stored name, the
// verbose columns, uncompressed payloads and failing operands. Expected
// lines are literal: the payloads are fixed bit strings, so their sizes are.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "decode_kit.h"
#include "kivra.h"
#include "testkit.h"

using namespace testkit;

namespace {

// A file to list: a stub, the trailer strings and the payload; or, when
// `file` is set, that text and nothing else.
struct Archive {
    std::string name, features, comment, run, extract, payload;
    std::string file = "";
};

std::string archive_bytes(const Archive &a) {
    if (!a.file.empty()) return a.file;
    return "#!stub of any executable\n" + trailer_bytes(a.features, a.comment, a.run, a.extract) + a.payload;
}

// A compressed payload: one member storing `name` (none when empty).
std::string payload(const std::string &plain, const std::string &name, uint32_t mtime = 0) {
    Tokens t;
    t.fixed_begin(true);
    // Short texts as literals, the rest as matches of the byte before.
    size_t done = std::min<size_t>(plain.size(), 4);
    t.literals(plain.substr(0, done));
    while (done < plain.size()) {
        const size_t n = std::min<size_t>(258, plain.size() - done);
        if (n < 3) {
            t.literals(plain.substr(done));
            break;
        }
        t.match(static_cast<unsigned>(n), 1);
        done += n;
    }
    t.end_block();
    const Header h{.flags = static_cast<uint8_t>(name.empty() ? 0 : 0x08), .mtime = mtime, .name = name};
    return member(t.w.finish(), t.plain, h);
}

const std::string kColumns = "compressed  uncompr. ratio uncompressed_name\n";
const std::string kVerboseColumns = "method  crc     date  time  " + kColumns;

// Files listed in one run of -l; "$D" in err stands for their directory.
struct ListCase {
    const char *name;
    std::vector<Archive> archives;
    int verbose;
    int status;
    std::string out, err;
};

const ListCase kListCases[] = {
    {"compressed archive",
     {{"a", "NAME=data.bin", "A comment", "/bin/true", "", payload(std::string(1000, 'x'), "data.bin")}}, 0, 0,
     "Feature: NAME=data.bin\nComment: A comment\n    Run: /bin/true\nExtract: cat > %p/%o\n" + kColumns +
         "       40      1000  98.7% data.bin\n",
     ""},
    {"verbose columns and date",  // 1000000000 is 2001-09-09 01:46:40 UTC
     {{"v", "", "c", "r", "tar -x", payload(std::string(5000, 'y'), "", 1000000000)}}, 1, 0,
     "Comment: c\n    Run: r\nExtract: tar -x\n" + kVerboseColumns +
         "defla 74f8c0a0 Sep  9 01:46        57      5000  99.2% stdout\n",
     ""},
    {"stored time 0 shows the epoch", {{"z", "", "c", "r", "e", payload("abc", "n")}}, 1, 0,
     "Comment: c\n    Run: r\nExtract: e\n" + kVerboseColumns + "defla 352441c2 Jan  1 00:00        25         3 -66.6% n\n",
     ""},
    {"column header once and after an uncompressed payload",
     {{"raw", "NOCOMPR,NAME=f", "raw one", "", "", "plain bytes"},
      {"a", "NAME=one", "first", "", "", payload(std::string(300, 'a'), "one")},
      {"b", "NAME=two", "second", "", "", payload(std::string(70000, 'b'), "two")}},
     0, 0,
     "Feature: NOCOMPR,NAME=f\nComment: raw one\n    Run: \nExtract: cat > %p/%o\n"
     "Statistics unavailable because data was not compressed\n"
     "Feature: NAME=one\nComment: first\n    Run: \nExtract: cat > %p/%o\n" +
         kColumns + "       31       300  97.0% one\n" +
         "Feature: NAME=two\nComment: second\n    Run: \nExtract: cat > %p/%o\n" + "      470     70000  99.3% two\n",
     ""},
    {"several members: whole payload, last trailer, first name",
     {{"m", "", "c", "r", "e", payload(std::string(100, 'a'), "first.tar") + payload(std::string(400, 'b'), "second.tar")}},
     0, 0, "Comment: c\n    Run: r\nExtract: e\n" + kColumns + "       75       400  88.2% first.tar\n", ""},
    {"failing operands set the exit code",
     {{"text", "", "", "", "", "", "no archive here\n"},
      {"notgz", "", "c", "r", "e", "PK\3\4 not gzip"},
      {"a", "", "c", "r", "e", payload("good", "g")}},
     0, 1, "Comment: c\n    Run: r\nExtract: e\n" + kColumns + "       26         4 -50.0% g\n",
     "$D/text: unable to find preamble magic value\nkivra: can only handle GZIP compression method\n"},
    {"payload ending inside the header is fatal", {{"cut", "", "c", "r", "e", payload("abc", "name").substr(0, 12)}}, 0,
     1, "", "\nkivra: $D/cut: unexpected end of file\n"},
};

class DoList : public ::testing::TestWithParam<ListCase> {};

// Lists the files in one child, as one run of -l would, from dir.
ChildResult list_all(const testkit::TempDir &dir, const std::vector<std::string> &paths, int verbose_flag) {
    return run_child("", [&] {
        if (chdir(dir.path().c_str()) != 0) return 99;
        setenv("TZ", "UTC", 1);
        tzset();
        list = 1;
        verbose = verbose_flag;
        for (const std::string &p : paths) do_list(const_cast<char *>(p.c_str()));
        return exit_code;
    });
}

TEST_P(DoList, Case) {
    const ListCase &c = GetParam();
    testkit::TempDir dir;
    std::vector<std::string> paths;
    for (const Archive &a : c.archives) {
        paths.push_back(dir.file(a.name));
        testkit::write_file(paths.back(), archive_bytes(a), 0755);  // archives are resolved as programs
    }
    ChildResult r = list_all(dir, paths, c.verbose);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.err, testkit::replaced(c.err, "$D", dir.path()));
}

INSTANTIATE_TEST_SUITE_P(Cases, DoList, ::testing::ValuesIn(kListCases), CaseName());

// What is not a regular file is refused before it is read, without blocking.
TEST(DoListOperands, NotRegularFilesAreRefusedUnread) {
    testkit::TempDir dir;
    ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0755), 0);
    ASSERT_EQ(symlink("/dev/zero", dir.file("zero").c_str()), 0);
    ChildResult r = list_all(dir, {"./fifo", "./zero", "."}, 0);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "./fifo: not a regular file\n./zero: not a regular file\n.: not a regular file\n");
}

}  // namespace
