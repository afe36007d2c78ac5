// The listing of archives (do_list), run on hand-built archives: trailer
// lines, the column header once per run, sizes, ratio, stored name, the
// verbose columns, uncompressed payloads and failing operands. Expected
// lines are literal: the payloads are fixed bit strings, so their sizes are.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "decode_kit.h"
#include "kivra.h"
#include "testkit.h"

using namespace testkit;

namespace {

struct Archive {
    std::string features, comment, run, extract, payload;
};

std::string archive_bytes(const Archive &a) {
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
    Header h;
    h.mtime = mtime;
    if (!name.empty()) {
        h.flags = 0x08;
        h.name = name;
    }
    return member(t.w.finish(), t.plain, h);
}

const char kColumns[] = "compressed  uncompr. ratio uncompressed_name\n";
const char kVerboseColumns[] = "method  crc     date  time  ";

class DoList : public ::testing::Test {
protected:
    testkit::TempDir dir;

    std::string write(const std::string &name, const Archive &a) {
        const std::string path = dir.file(name);
        testkit::write_file(path, archive_bytes(a), 0755);  // archives are resolved as programs
        return path;
    }

    // Lists the paths in one child, as one run of -l would.
    ChildResult list_all(const std::vector<std::string> &paths, int verbose_flag = 0) {
        return run_child("", [&] {
            setenv("TZ", "UTC", 1);
            tzset();
            list = 1;
            verbose = verbose_flag;
            for (const std::string &p : paths) do_list(const_cast<char *>(p.c_str()));
            return exit_code;
        });
    }
};

TEST_F(DoList, CompressedArchive) {
    const std::string plain(1000, 'x');
    const std::string pl = payload(plain, "data.bin");
    const std::string path = write("a", {"NAME=data.bin", "A comment", "/bin/true", "", pl});
    ChildResult r = list_all({path});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, "Feature: NAME=data.bin\nComment: A comment\n    Run: /bin/true\nExtract: cat > %p/%o\n" +
                         std::string(kColumns) + "       40      1000  98.7% data.bin\n");
}

TEST_F(DoList, VerboseColumnsAndDate) {
    const std::string plain(5000, 'y');
    const std::string pl = payload(plain, "", 1000000000);  // 2001-09-09 01:46:40 UTC
    const std::string path = write("v", {"", "c", "r", "tar -x", pl});
    ChildResult r = list_all({path}, 1);
    EXPECT_EQ(r.out, "Comment: c\n    Run: r\nExtract: tar -x\n" + std::string(kVerboseColumns) + kColumns +
                         "defla 74f8c0a0 Sep  9 01:46        57      5000  99.2% stdout\n");
}

TEST_F(DoList, StoredTimeZeroShowsTheEpoch) {
    const std::string pl = payload("abc", "n");
    ChildResult r = list_all({write("z", {"", "c", "r", "e", pl})}, 1);
    EXPECT_NE(r.out.find(" Jan  1 00:00 "), std::string::npos) << r.out;
}

TEST_F(DoList, ColumnHeaderOnceAndAfterUncompressed) {
    const std::string pa = payload(std::string(300, 'a'), "one");
    const std::string pb = payload(std::string(70000, 'b'), "two");
    const std::string raw = write("raw", {"NOCOMPR,NAME=f", "raw one", "", "", "plain bytes"});
    const std::string a = write("a", {"NAME=one", "first", "", "", pa});
    const std::string b = write("b", {"NAME=two", "second", "", "", pb});
    ChildResult r = list_all({raw, a, b});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out,
              "Feature: NOCOMPR,NAME=f\nComment: raw one\n    Run: \nExtract: cat > %p/%o\n"
              "Statistics unavailable because data was not compressed\n"
              "Feature: NAME=one\nComment: first\n    Run: \nExtract: cat > %p/%o\n" +
                  std::string(kColumns) + "       31       300  97.0% one\n" +
                  "Feature: NAME=two\nComment: second\n    Run: \nExtract: cat > %p/%o\n" +
                  "      470     70000  99.3% two\n");
}

TEST_F(DoList, SeveralMembersCountWholePayloadAndLastTrailer) {
    const std::string m1 = payload(std::string(100, 'a'), "first.tar");
    const std::string m2 = payload(std::string(400, 'b'), "second.tar");
    ChildResult r = list_all({write("m", {"", "c", "r", "e", m1 + m2})});
    EXPECT_EQ(r.out, "Comment: c\n    Run: r\nExtract: e\n" + std::string(kColumns) +
                         "       75       400  88.2% first.tar\n");
}

TEST_F(DoList, FailingOperandsSetExitCode) {
    const std::string good = payload("good", "g");
    const std::string text = dir.file("text");
    testkit::write_file(text, "no archive here\n", 0755);
    const std::string notgz = write("notgz", {"", "c", "r", "e", "PK\3\4 not gzip"});
    const std::string a = write("a", {"", "c", "r", "e", good});
    ChildResult r = list_all({text, notgz, a});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, text + ": unable to find preamble magic value\n"
                     "kivra: can only handle GZIP compression method\n");
    EXPECT_EQ(r.out, "Comment: c\n    Run: r\nExtract: e\n" + std::string(kColumns) +
                         "       26         4 -50.0% g\n");
}

TEST_F(DoList, PayloadEndingInsideTheHeaderIsFatal) {
    const std::string path = write("cut", {"", "c", "r", "e", payload("abc", "name").substr(0, 12)});
    ChildResult r = list_all({path});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "\nkivra: " + path + ": unexpected end of file\n");
    EXPECT_EQ(r.out, "");
}

}  // namespace
