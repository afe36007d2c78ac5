// Progress line: with standard error on a terminal (a pty), building and
// extracting draw a self-rewriting line and blank it at the end. What the
// terminal finally shows is exactly the standard error of the same run without
// a terminal, and the bytes written (archive, extracted file) are the same.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <exception>
#include <string>
#include <vector>

#include "extract_kit.h"
#include "testkit.h"

namespace {

// What a terminal shows after receiving text: '\r' returns to the start of
// the line, '\n' starts the next one, other characters overwrite; trailing
// blanks of every line are dropped.
std::string screen(const std::string &text) {
    std::vector<std::string> lines(1);
    size_t col = 0;
    for (char c : text) {
        if (c == '\r' || c == '\n') {
            if (c == '\n') lines.emplace_back();
            col = 0;
        } else {
            std::string &l = lines.back();
            if (col == l.size()) l.push_back(c);
            l[col++] = c;
        }
    }
    std::string shown;
    for (std::string &l : lines) {
        l.erase(l.find_last_not_of(' ') + 1);
        shown += l + "\n";
    }
    return shown;
}

struct Case {
    const char *name;
    std::string input;               // the input's name
    std::vector<std::string> build;  // builder options before the input
    bool extract;                    // run the archive, else only build it
    std::string line;                // the start of the progress line
};

TEST(ProgressOnTerminal, DrawnOnPtyAndBlankedWithoutChangingOutput) {
    testkit::TempDir tmp;
    const std::string k = testkit::kivra_bin();
    std::string data;
    for (unsigned long i = 0; data.size() < 3u << 20; i++) data += "line " + std::to_string(i * 7919 % 100003) + "\n";

    const Case cases[] = {
        {"build compressed", "data.txt", {"-C", "progress"}, false, "\rbuilding: 0 B of 3.0 MiB (0%)"},
        {"build raw", "data.txt", {"-a", "-C", "progress"}, false, "\rbuilding: 0 B of 3.0 MiB (0%)"},
        {"extract compressed, checked first", "data.txt", {"-C", "progress"}, true, "\rchecking data.txt: "},
        {"extract raw", "data.txt", {"-a", "-C", "progress"}, true, "\rextracting data.txt: 0 B of 3.0 MiB (0%)"},
        // A stored name cannot talk to the terminal.
        {"extract, name with control characters", "t\033]0;x\007\303\251.txt", {"-C", "progress"}, true,
         "\rextracting t?]0;x???.txt: "},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        testkit::write_file(tmp.file(c.input), data);
        std::vector<std::string> argv{k};
        argv.insert(argv.end(), c.build.begin(), c.build.end());
        argv.push_back(c.input);
        testkit::RunResult pty;
        try {
            pty = testkit::run_on_pty(argv, "", tmp.path(), testkit::OnPty::errors);
        } catch (const std::exception &e) {
            GTEST_SKIP() << "no pseudo-terminal available here: " << e.what();
        }
        testkit::RunOptions opts;
        opts.cwd = tmp.path();
        opts.stdin_null = true;
        testkit::RunResult plain = testkit::run(argv, opts);
        testkit::write_file(tmp.file("archive"), plain.out, 0755);
        EXPECT_EQ(pty.out, plain.out) << "archive bytes differ";
        if (c.extract) {
            for (const char *d : {"x_pty", "x_plain"}) {
                testkit::sh("rm -rf " + tmp.file(d));
                mkdir(tmp.file(d).c_str(), 0755);
            }
            pty = testkit::run_on_pty({tmp.file("archive")}, "", tmp.file("x_pty"), testkit::OnPty::errors);
            opts.cwd = tmp.file("x_plain");
            plain = testkit::run({tmp.file("archive")}, opts);
            EXPECT_EQ(testkit::read_file(tmp.file("x_pty/" + c.input)), data);
            EXPECT_EQ(testkit::read_file(tmp.file("x_plain/" + c.input)), data);
        }
        EXPECT_EQ(pty.status, 0);
        EXPECT_EQ(plain.status, 0);
        EXPECT_NE(pty.err.find(c.line), std::string::npos) << pty.err;
        EXPECT_EQ(screen(pty.err), screen(plain.err)) << pty.err;
        // A run that is no terminal gets not a single byte more.
        EXPECT_EQ(plain.err, c.extract ? "\nprogress\n\nPlease wait...\n" : "");
    }
}

}  // namespace
