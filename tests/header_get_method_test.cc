// The member header reader: magics, methods, flag fields in their order, the
// stored name (with its reduction to a base name), time stamp, header_bytes
// and the messages, each case run in a fresh child process.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "decode_kit.h"
#include "kivra.h"

using namespace testkit;

namespace {

struct Setup {
    int verbose = 0;
    int to_stdout = 0;
    int list = 0;
    int part_nb = 0;
    long long time_stamp = 0;
    const char *ofname = "stdout";
};

struct HeaderCase {
    const char *name;
    std::string input;
    Setup setup;
    std::string out;  // "result ofname header_bytes time_stamp exit_code next-byte"
    std::string err;
    int status;
};

std::string hdr(const Header &h) { return header_bytes_of(h) + "Z"; }

Header named(const std::string &name) { return {.flags = 0x08, .name = name}; }

const Header kAllFields = {.flags = 0x02 | 0x04 | 0x08 | 0x10, .part = 7, .extra = {0, 1, 2, 3, 4}, .name = "n",
                           .comment = "a comment"};

const std::string kEof = "\nkivra: in.gz: unexpected end of file\n";
const std::string kTooLarge = "\nkivra: in.gz: corrupted input -- file name too large\n";
const std::string kNotGzip = "kivra: can only handle GZIP compression method\n";

std::string unknown(int m) {
    return "kivra: in.gz: unknown method " + std::to_string(m) + " -- get newer version of gzip\n";
}

const HeaderCase kCases[] = {
    {"bare header", hdr({}), {}, "8 stdout 18 0 0 Z", "", 0},
    {"flags E1 ignored", hdr({.flags = 0xe1}), {}, "8 stdout 18 0 0 Z", "", 0},
    {"magic 1F 9E", hdr({.magic1 = 0x9e, .flags = 0x08, .name = "old"}), {}, "8 old 22 0 0 Z", "", 0},
    {"zip archive", "PK\3\4\24\0\0\0\10\0rest", {}, "-1 stdout 0 0 1", kNotGzip, 0},
    {"text file", "hello, world\n", {}, "-1 stdout 0 0 1", kNotGzip, 0},
    {"first magic byte wrong", "\x1e\x8b\x08", {}, "-1 stdout 0 0 1", kNotGzip, 0},
    {"method 0", hdr({.method = 0}), {}, "-1 stdout 0 0 1", unknown(0), 0},
    {"method 7", hdr({.method = 7}), {}, "-1 stdout 0 0 1", unknown(7), 0},
    {"method 9", hdr({.method = 9}), {}, "-1 stdout 0 0 1", unknown(9), 0},
    {"method 255", hdr({.method = 255}), {}, "-1 stdout 0 0 1", unknown(255), 0},
    {"stored name", hdr(named("payload.tar")), {}, "8 payload.tar 30 0 0 Z", "", 0},
    {"name skipped with -c", hdr(named("payload.tar")), {.to_stdout = 1}, "8 stdout 30 0 0 Z", "", 0},
    {"name kept with -c -l", hdr(named("payload.tar")), {.to_stdout = 1, .list = 1},
     "8 payload.tar 30 0 0 Z", "", 0},
    {"name skipped for a second member", hdr(named("payload.tar")), {.part_nb = 1},
     "8 stdout 0 0 0 Z", "", 0},
    {"name with parent directories", hdr(named("../../etc/passwd")), {}, "8 passwd 35 0 0 Z", "", 0},
    {"absolute name", hdr(named("/tmp/x")), {}, "8 x 25 0 0 Z", "", 0},
    {"name ending in a slash", hdr(named("dir/")), {}, "8 stdout 23 0 0 Z", "", 0},
    {"name dot", hdr(named(".")), {}, "8 stdout 20 0 0 Z", "", 0},
    {"name dot dot", hdr(named("..")), {}, "8 stdout 21 0 0 Z", "", 0},
    {"name ending in dot dot", hdr(named("a/..")), {}, "8 stdout 23 0 0 Z", "", 0},
    {"empty name", hdr(named("")), {}, "8 stdout 19 0 0 Z", "", 0},
    {"empty name keeps the caller's name", hdr(named("")), {.ofname = "mine"}, "8 mine 19 0 0 Z", "", 0},
    {"name of 1023 characters", hdr(named(std::string(1023, 'n'))), {},
     "8 " + std::string(1023, 'n') + " 1042 0 0 Z", "", 0},
    {"name of 1024 characters", hdr(named(std::string(1024, 'n'))), {}, "", kTooLarge, 1},
    {"long path, short base name", hdr(named(std::string(1000, '/') + "base")), {},
     "8 base 1023 0 0 Z", "", 0},
    {"time stamp stored", hdr({.mtime = 0x12345678}), {.time_stamp = 5}, "8 stdout 18 305419896 0 Z", "", 0},
    {"time stamp past 2038 stays positive", hdr({.mtime = 0xF0000000}), {}, "8 stdout 18 4026531840 0 Z", "", 0},
    {"time stamp 0 keeps the old value", hdr({.mtime = 0}), {.time_stamp = 5}, "8 stdout 18 5 0 Z", "", 0},
    {"part number before extra field and name", hdr({.flags = 0x02 | 0x08 | 0x04, .part = 0x0201, .extra = "xyz", .name = "p.tar"}), {.verbose = 1},
     "8 p.tar 31 0 0 Z",
     "kivra: in.gz: part number 513\nkivra: in.gz: extra field of 3 bytes ignored\n", 0},
    {"empty extra field", hdr({.flags = 0x04}), {.verbose = 1}, "8 stdout 20 0 0 Z", "kivra: in.gz: extra field of 0 bytes ignored\n", 0},
    {"all fields, quiet", hdr(kAllFields), {}, "8 n 39 0 0 Z", "", 0},
    {"comment skipped", hdr({.flags = 0x10, .comment = "words"}), {}, "8 stdout 24 0 0 Z", "", 0},
    {"empty input", "", {}, "", kEof, 1},
    {"one byte", "\x1f", {}, "", kEof, 1},
    {"ends in the time stamp", header_bytes_of({}).substr(0, 6), {}, "", kEof, 1},
    {"ends in the extra field", header_bytes_of(kAllFields).substr(0, 15), {}, "", kEof, 1},
    {"ends in the name", header_bytes_of(named("payload")).substr(0, 14), {}, "", kEof, 1},
    {"ends in the comment", header_bytes_of(kAllFields).substr(0, 28), {}, "", kEof, 1},
};

class GetMethod : public ::testing::TestWithParam<HeaderCase> {};

TEST_P(GetMethod, Case) {
    const HeaderCase &c = GetParam();
    ChildResult r = run_child(c.input, [&c] {
        verbose = c.setup.verbose;
        to_stdout = c.setup.to_stdout;
        list = c.setup.list;
        part_nb = c.setup.part_nb;
        time_stamp = c.setup.time_stamp;
        std::snprintf(ofname, sizeof ofname, "%s", c.setup.ofname);
        const int res = get_method(0);
        std::printf("%d %s %lld %lld %d", res, ofname, static_cast<long long>(header_bytes), time_stamp,
                    exit_code);
        if (res == DEFLATED) std::printf(" %c", in_byte());
        return 0;
    });
    ASSERT_FALSE(r.signaled);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.err, c.err);
}

INSTANTIATE_TEST_SUITE_P(Cases, GetMethod, ::testing::ValuesIn(kCases), CaseName());

// A header that straddles a refill of inbuf is read like any other.
TEST(GetMethodRefill, HeaderAcrossTwoFills) {
    const std::string input = std::string(32760, '.') + hdr(kAllFields);
    ChildResult r = run_child(input, [] {
        for (int i = 0; i < 32760; i++) in_byte();
        const int res = get_method(0);
        std::printf("%d %s %c %d", res, ofname, in_byte(), part_nb);
        return 0;
    });
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "8 n Z 1");
}

// part_nb counts every call, rejected headers included, before any check.
TEST(GetMethodCount, CountsEveryCall) {
    ChildResult r = run_child(hdr({}) + "XY" + hdr(named("second")), [] {
        std::printf("%d", get_method(0));
        in_byte();  // 'Z'
        const int second = get_method(0);
        std::printf(" %d %d", second, part_nb);
        const int third = get_method(0);
        std::printf(" %d %d %s %lld", third, part_nb, ofname, static_cast<long long>(header_bytes));
        return 0;
    });
    EXPECT_EQ(r.out, "8 -1 2 8 3 stdout 0");
}

}  // namespace
