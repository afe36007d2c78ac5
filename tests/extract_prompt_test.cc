// The run prompt of -v on a terminal: which answers run the command, which
// skip it, which ask again, and the end of input. One CTest case per answer.
#include <gtest/gtest.h>

#include "extract_kit.h"
#include "testkit.h"

namespace {

struct Answer {
    const char *name;
    const char *typed;
    const char *after_prompt;  // terminal output after "OK to run the command? "
    bool runs;
};

const Answer kAnswers[] = {
    {"y", "y\n", "ran\n", true},
    {"yes", "yes\n", "ran\n", true},
    {"Y", "Y\n", "ran\n", true},
    {"n", "n\n", "", false},
    {"No", "No\n", "", false},
    {"empty_then_x_then_y", "\nx\ny\n", "\n? (y/n): \n? (y/n): ran\n", true},
    {"end_of_input", "\x04", "", false},
    {"x_then_end_of_input", "x\n\x04", "\n? (y/n): ", false},
};

void PrintTo(const Answer &a, std::ostream *os) { *os << a.name; }

class RunPrompt : public testkit::WorkDir, public ::testing::WithParamInterface<Answer> {};

TEST_P(RunPrompt, OnTerminal) {
    const Answer &a = GetParam();
    testkit::build_archive({"-a", "-f", "cat > /dev/null", "-r", "touch %p/ran; echo ran"}, tar, at("inst"));
    testkit::RunResult r = testkit::run_on_pty({"./inst", "-v"}, a.typed, work());
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "This archive requires more processing using the following command:\n"
                     "    touch " + work() + "/ran; echo ran\nOK to run the command? " + a.after_prompt);
    EXPECT_EQ(r.err, "\nSelf-Extracting archive file\n\nPlease wait...\nDeflating payload.tar...\n");
    EXPECT_EQ(exists("ran"), a.runs);
}

INSTANTIATE_TEST_SUITE_P(Answers, RunPrompt, ::testing::ValuesIn(kAnswers), testkit::CaseName());

}  // namespace
