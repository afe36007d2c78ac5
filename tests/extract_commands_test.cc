// What reaches the archive's two commands. A damaged or cut compressed payload
// is found before anything happens: the extract command (which leaves a
// marker) never starts, -x writes nothing to standard output, the report and
// exit status are the decoder's; -s streams it into the command as before.
// The words after "--" reach the run program as its positional parameters,
// exactly and never read by a shell; without "--" operands are ignored. -q
// leaves nothing on either stream but errors and the prompts of -v. One CTest
// case per row (each run pauses 2 s).
#include <gtest/gtest.h>

#include "extract_kit.h"
#include "testkit.h"

namespace {

enum class Damage { none, flipped, cut };  // a bit flipped in the payload's middle, or its second half gone

const char *kRun = "printf '[%s]' \"$#\" \"$@\" > got";
const std::string kBanner = "\nTest installer\n\nPlease wait...\n";
const std::string kCrc = "\n./inst: ./inst: invalid compressed data--crc error\n";
const std::string kCut = "\n./inst: ./inst: unexpected end of file\n";
const std::string kOffer = std::string("This archive requires more processing using the following command:\n    ") +
                           kRun + "\n";

struct Row {
    const char *name;
    Damage damage;
    std::vector<std::string> argv;  // "kivra" stands for the tool under test
    int status;
    bool started;     // the extract command ran
    std::string got;  // what the run program recorded; "" when it did not run
    std::string out, err;
};

const Row kRows[] = {
    {"flipped", Damage::flipped, {"./inst"}, 1, false, "", "", kBanner + kCrc},
    {"cut", Damage::cut, {"./inst"}, 1, false, "", "", kBanner + kCut},
    {"flipped_x", Damage::flipped, {"./inst", "-x"}, 1, false, "", "", kBanner + "Deflating data.txt...\n" + kCrc},
    {"cut_x", Damage::cut, {"./inst", "-x"}, 1, false, "", "", kBanner + "Deflating data.txt...\n" + kCut},
    {"flipped_unchecked", Damage::flipped, {"./inst", "-s"}, 1, true, "", "", kBanner + kCrc},
    {"blanks_and_quotes", Damage::none, {"./inst", "--", "a b", " ", "it's", "\"q\"", "\\"}, 0, true,
     "[5][a b][ ][it's][\"q\"][\\]", "", kBanner},
    {"no_second_reading", Damage::none, {"./inst", "--", "$(touch bad)", "`touch bad`", ";touch bad", "$HOME", "*"}, 0,
     true, "[5][$(touch bad)][`touch bad`][;touch bad][$HOME][*]", "", kBanner},
    {"empty_words", Damage::none, {"./inst", "--", "", "", "x"}, 0, true, "[3][][][x]", "", kBanner},
    {"options_after_dash_dash", Damage::none, {"./inst", "--", "-x", "-n", "--", "-u"}, 0, true, "[4][-x][-n][--][-u]",
     "", kBanner},
    {"operands_without_dash_dash", Damage::none, {"./inst", "a", "b"}, 0, true, "[0]", "", kBanner},
    {"utility", Damage::none, {"kivra", "-u", "./inst", "ignored", "--", "a b", "-x"}, 0, true, "[2][a b][-x]", "",
     kBanner},
    {"quiet", Damage::none, {"./inst", "-q"}, 0, true, "[0]", "", ""},
    {"quiet_verbose_shows_arguments", Damage::none, {"./inst", "-q", "-v", "--", "a b", "", "it's", "-x"}, 0, true, "",
     kOffer + "with the arguments: 'a b' '' 'it'\\''s' -x\nbut stdin is not a terminal. So forget it.\n", ""},
};

void PrintTo(const Row &r, std::ostream *os) { *os << r.name; }

class Commands : public testkit::WorkDir, public ::testing::WithParamInterface<Row> {};

TEST_P(Commands, GetOnlyACheckedPayloadAndExactArguments) {
    const Row &c = GetParam();
    std::string data;
    for (unsigned i = 0; data.size() < 200000; i++) data += "row " + std::to_string(i * 7919 % 100003) + "\n";
    testkit::write_file(tmp.file("data.txt"), data);
    testkit::build_archive({"-C", "Test installer", "-f", "touch started; cat > /dev/null", "-r", kRun},
                           tmp.file("data.txt"), at("inst"));
    std::string arc = testkit::read_file(at("inst"));
    const size_t payload = arc.rfind("\x1f\x8b\x08");  // the member's magic and method
    const size_t middle = payload + (arc.size() - payload) / 2;
    if (c.damage == Damage::cut) arc.resize(middle);
    if (c.damage == Damage::flipped) arc[middle] = static_cast<char>(arc[middle] ^ 0x10);
    testkit::write_file(at("inst"), arc, 0755);

    std::vector<std::string> argv = c.argv;
    if (argv[0] == "kivra") argv[0] = testkit::kivra_bin();
    testkit::RunOptions o;
    o.cwd = work();
    o.stdin_null = true;
    testkit::RunResult r = testkit::run(argv, o);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(exists("started"), c.started);
    EXPECT_EQ(exists("got") ? testkit::read_file(at("got")) : "", c.got);
    EXPECT_FALSE(exists("bad"));
}

INSTANTIATE_TEST_SUITE_P(Rows, Commands, ::testing::ValuesIn(kRows),
                         [](const ::testing::TestParamInfo<Row> &i) { return std::string(i.param.name); });

}  // namespace
