// A damaged or cut compressed payload is found before anything happens: the
// extract command (which would leave a marker) never starts, -x writes nothing
// to standard output, and the report and exit status are those of the
// decoder. -s skips the check: the payload streams into the command as before
// the check existed. One CTest case per row (each run pauses 2 s).
#include <gtest/gtest.h>

#include "extract_kit.h"
#include "testkit.h"

namespace {

struct Damage {
    const char *name;
    bool cut;                         // drop the second half, else flip a bit in the middle
    std::vector<std::string> args;    // after ./inst
    bool streams;                     // the extract command started
    std::string err;                  // after the banner
};

const std::string kCrc = "\n./inst: ./inst: invalid compressed data--crc error\n";
const std::string kCut = "\n./inst: ./inst: unexpected end of file\n";

const Damage kRows[] = {
    {"flipped", false, {}, false, kCrc},
    {"cut", true, {}, false, kCut},
    {"flipped_x", false, {"-x"}, false, "Deflating data.txt...\n" + kCrc},
    {"cut_x", true, {"-x"}, false, "Deflating data.txt...\n" + kCut},
    {"flipped_unchecked", false, {"-s"}, true, kCrc},
};

void PrintTo(const Damage &d, std::ostream *os) { *os << d.name; }

class Damaged : public testkit::WorkDir, public ::testing::WithParamInterface<Damage> {};

TEST_P(Damaged, NothingHappensUnlessUnchecked) {
    const Damage &d = GetParam();
    std::string data;
    for (unsigned i = 0; data.size() < 200000; i++) data += "row " + std::to_string(i * 7919 % 100003) + "\n";
    testkit::write_file(tmp.file("data.txt"), data);
    testkit::build_archive({"-C", "Test installer", "-f", "touch %p/started; cat > /dev/null", "-r", "touch %p/ran"},
                           tmp.file("data.txt"), at("inst"));
    std::string arc = testkit::read_file(at("inst"));
    const size_t payload = arc.rfind("\x1f\x8b\x08");  // the member's magic and method
    const size_t middle = payload + (arc.size() - payload) / 2;
    if (d.cut) {
        arc.resize(middle);
    } else {
        arc[middle] = static_cast<char>(arc[middle] ^ 0x10);
    }
    testkit::write_file(at("inst"), arc, 0755);

    testkit::RunResult r = start(d.args);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "\nTest installer\n\nPlease wait...\n" + d.err);
    EXPECT_EQ(exists("started"), d.streams);
    EXPECT_FALSE(exists("ran"));
}

INSTANTIATE_TEST_SUITE_P(Rows, Damaged, ::testing::ValuesIn(kRows),
                         [](const ::testing::TestParamInfo<Damage> &i) { return std::string(i.param.name); });

}  // namespace
