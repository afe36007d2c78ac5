// The words after "--" reach the run program as its positional parameters,
// exactly and never read by a shell; without "--" operands are ignored. -q
// leaves nothing on standard output and standard error but errors, and the
// prompts of -v. One CTest case per row (each run pauses 2 s).
#include <gtest/gtest.h>

#include "extract_kit.h"
#include "testkit.h"

namespace {

const char *kRun = "printf '[%s]' \"$#\" \"$@\" > got";
const std::string kBanner = "\nTest installer\n\nPlease wait...\n";
const std::string kOffer = std::string("This archive requires more processing using the following command:\n    ") +
                           kRun + "\n";

struct Call {
    const char *name;
    bool utility;                   // "kivra -u ./inst ARGS", else "./inst ARGS"
    std::vector<std::string> args;
    std::string got;                // what the run program recorded; "" when it did not run
    std::string out, err;
};

const Call kRows[] = {
    {"blanks_and_quotes", false, {"--", "a b", " ", "it's", "\"q\"", "\\"}, "[5][a b][ ][it's][\"q\"][\\]", "",
     kBanner},
    {"no_second_reading", false, {"--", "$(touch bad)", "`touch bad`", ";touch bad", "$HOME", "*"},
     "[5][$(touch bad)][`touch bad`][;touch bad][$HOME][*]", "", kBanner},
    {"empty_words", false, {"--", "", "", "x"}, "[3][][][x]", "", kBanner},
    {"options_after_dash_dash", false, {"--", "-x", "-n", "--", "-u"}, "[4][-x][-n][--][-u]", "", kBanner},
    {"operands_without_dash_dash", false, {"a", "b"}, "[0]", "", kBanner},
    {"utility", true, {"ignored", "--", "a b", "-x"}, "[2][a b][-x]", "", kBanner},
    {"quiet", false, {"-q"}, "[0]", "", ""},
    {"quiet_verbose_shows_arguments", false, {"-q", "-v", "--", "a b", "", "it's", "-x"}, "",
     kOffer + "with the arguments: 'a b' '' 'it'\\''s' -x\nbut stdin is not a terminal. So forget it.\n", ""},
};

void PrintTo(const Call &c, std::ostream *os) { *os << c.name; }

class RunArgs : public testkit::WorkDir, public ::testing::WithParamInterface<Call> {};

TEST_P(RunArgs, ReachTheRunProgramExactly) {
    const Call &c = GetParam();
    testkit::build_archive({"-C", "Test installer", "-f", "cat > /dev/null", "-r", kRun}, tar, at("inst"));
    testkit::RunResult r;
    if (c.utility) {
        testkit::RunOptions o;
        o.cwd = work();
        o.stdin_null = true;
        std::vector<std::string> argv{testkit::kivra_bin(), "-u", "./inst"};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        r = testkit::run(argv, o);
    } else {
        r = start(c.args);
    }
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(exists("got") ? testkit::read_file(at("got")) : "", c.got);
    EXPECT_FALSE(exists("bad"));
}

INSTANTIATE_TEST_SUITE_P(Rows, RunArgs, ::testing::ValuesIn(kRows),
                         [](const ::testing::TestParamInfo<Call> &i) { return std::string(i.param.name); });

}  // namespace
