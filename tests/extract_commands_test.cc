// What reaches the archive's two commands. A damaged or cut compressed payload
// is found before anything happens: the extract command (which leaves a
// marker) never starts, -x writes nothing to standard output, the report and
// exit status are the decoder's; -s streams it into the command as before.
// A checked payload is decoded again from the same state, so it extracts.
// The words after "--" reach the run program as its positional parameters,
// exactly and never read by a shell; without "--" operands are ignored. -q
// leaves nothing on either stream but errors and the prompts of -v. One CTest
// case per row (each run pauses 2 s).
#include <gtest/gtest.h>

#include "decode_kit.h"
#include "extract_kit.h"
#include "testkit.h"

namespace {

// A bit flipped in the payload's middle, its second half gone, or a sound
// member whose first match reaches before its first byte (zeros, in every decode).
enum class Payload { intact, flipped, cut, early_match };

const char *kRun = "printf '[%s]' \"$#\" \"$@\" > got";
using testkit::kBanner;
const std::string kCrc = "\n./inst: ./inst: invalid compressed data--crc error\n";
const std::string kCut = "\n./inst: ./inst: unexpected end of file\n";
const std::string kOffer = std::string("This archive requires more processing using the following command:\n    ") +
                           kRun + "\n";

struct Row {
    const char *name;
    Payload payload;
    std::vector<std::string> argv;  // "kivra" stands for the tool under test
    int status;
    bool started;     // the extract command ran
    std::string got;  // what the run program recorded; "" when it did not run
    std::string out, err;
};

const Row kRows[] = {
    {"flipped", Payload::flipped, {"./inst"}, 1, false, "", "", kBanner + kCrc},
    {"cut", Payload::cut, {"./inst"}, 1, false, "", "", kBanner + kCut},
    {"flipped_x", Payload::flipped, {"./inst", "-x"}, 1, false, "", "", kBanner + "Deflating data.txt...\n" + kCrc},
    {"cut_x", Payload::cut, {"./inst", "-x"}, 1, false, "", "", kBanner + "Deflating data.txt...\n" + kCut},
    {"flipped_unchecked", Payload::flipped, {"./inst", "-s"}, 1, true, "", "", kBanner + kCrc},
    {"blanks_and_quotes", Payload::intact, {"./inst", "--", "a b", " ", "it's", "\"q\"", "\\"}, 0, true,
     "[5][a b][ ][it's][\"q\"][\\]", "", kBanner},
    {"no_second_reading", Payload::intact, {"./inst", "--", "$(touch bad)", "`touch bad`", ";touch bad", "$HOME", "*"}, 0,
     true, "[5][$(touch bad)][`touch bad`][;touch bad][$HOME][*]", "", kBanner},
    {"empty_words", Payload::intact, {"./inst", "--", "", "", "x"}, 0, true, "[3][][][x]", "", kBanner},
    {"options_after_dash_dash", Payload::intact, {"./inst", "--", "-x", "-n", "--", "-u"}, 0, true, "[4][-x][-n][--][-u]",
     "", kBanner},
    {"early_match", Payload::early_match, {"./inst"}, 0, true, "[0]", "", kBanner},
    {"operands_without_dash_dash", Payload::intact, {"./inst", "a", "b"}, 0, true, "[0]", "", kBanner},
    {"utility", Payload::intact, {"kivra", "-u", "./inst", "ignored", "--", "a b", "-x"}, 0, true, "[2][a b][-x]", "",
     kBanner},
    {"quiet", Payload::intact, {"./inst", "-q"}, 0, true, "[0]", "", ""},
    {"quiet_verbose_shows_arguments", Payload::intact, {"./inst", "-q", "-v", "--", "a b", "", "it's", "-x"}, 0, true, "",
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
    if (c.payload == Payload::cut) arc.resize(middle);
    if (c.payload == Payload::flipped) arc[middle] = static_cast<char>(arc[middle] ^ 0x10);
    if (c.payload == Payload::early_match) {
        testkit::Tokens t;  // 40000 bytes after it: the window wraps in both decodes
        t.fixed_begin(false);
        t.match(3, 1);
        t.end_block();
        t.stored(std::string(40000, 'A'), true);
        arc = arc.substr(0, payload) + t.member();
    }
    testkit::write_file(at("inst"), arc, 0755);

    testkit::RunResult r = run_in_work(c.argv);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(exists("started"), c.started);
    EXPECT_EQ(exists("got") ? testkit::read_file(at("got")) : "", c.got);
    EXPECT_FALSE(exists("bad"));
}

INSTANTIATE_TEST_SUITE_P(Rows, Commands, ::testing::ValuesIn(kRows), testkit::CaseName());

}  // namespace
