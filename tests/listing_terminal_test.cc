// -l on a terminal: control characters (C0, DEL, C1) and bytes that are not
// valid UTF-8 in the trailer strings and the stored name are shown escaped, so
// a hostile archive cannot drive the terminal; valid UTF-8 text stays as it is.
// (Through a pipe the listing stays byte for byte as stored; tests/cli/listing.sh
// checks that case.)
#include <gtest/gtest.h>

#include <exception>
#include <string>

#include "cli_kit.h"
#include "extract_kit.h"
#include "testkit.h"

namespace {

TEST(ListingTerminal, ControlCharactersAreEscaped) {
    testkit::Workspace ws;
    const std::string name = "e\033x";
    ws.put(name, "hello, world\n");
    // Run: CSI as U+009B and as a lone byte; U+00A0 and U+00E9 (kept); an
    // overlong '/', a surrogate, U+110000, a cut sequence; U+1F600 (kept); a
    // sequence cut by the end of the string.
    ws.build("a", {"-C", "a\033[2Jb\r\n\tc\\d\177\a\b\v\f", "-r",
                   "x\001y\302\233[2J\233\302\240\303\251\300\257\355\240\200\364\220\200\200"
                   "\342\202 \360\237\230\200\342\202",
                   name});

    testkit::RunResult piped = ws.kivra({"-l", "./a"});
    ASSERT_EQ(piped.status, 0);
    testkit::RunResult r;
    try {
        r = testkit::run_on_pty({testkit::kivra_bin(), "-l", "./a"}, "", ws.path());
    } catch (const std::exception &e) {
        GTEST_SKIP() << "no pseudo-terminal to list on: " << e.what();
    }
    // The column header and the statistics line are the piped ones, with the
    // stored name escaped.
    const std::string extract_line = "Extract: cat > %p/%o\n";
    std::string tail = piped.out.substr(piped.out.find(extract_line) + extract_line.size());
    ASSERT_EQ(tail.substr(tail.size() - name.size() - 1), name + "\n");
    tail.replace(tail.size() - name.size() - 1, name.size(), "e\\033x");

    EXPECT_EQ(r.out,
              "Feature: NAME=e\\033x\n"
              "Comment: a\\033[2Jb\\r\\n\\tc\\\\d\\177\\a\\b\\v\\f\n"
              "    Run: x\\001y\\302\\233[2J\\233\302\240\303\251\\300\\257\\355\\240\\200"
              "\\364\\220\\200\\200\\342\\202 \360\237\230\200\\342\\202\n" +
                  extract_line + tail);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
}

}  // namespace
