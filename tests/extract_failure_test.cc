// End to end: what an installer does when a step fails - the run program
// exits non-zero, the extract command fails or is killed, the payload is
// corrupt. Each failure must show in the exit status and keep the run program
// from running after a failed extraction.
#include <gtest/gtest.h>

#include <csignal>
#include <sys/stat.h>
#include <unistd.h>

#include "extract_kit.h"
#include "testkit.h"

namespace {

using testkit::build_archive;
using testkit::RunResult;

using testkit::kBanner;

using Failing = testkit::WorkDir;

// A step that fails: the run ends with status 1 and names the step, and the
// run program ("touch %p/ran" where the step is extraction) never runs. The
// input is the tar payload, "big.bin" (1 MiB, more than a pipe holds: a
// command that stops reading early fails by the broken pipe) or "empty".
// Through "kivra -u" the tool's own name differs from the archive's: the
// reports still name the archive.
struct FailCase {
    const char *name;
    std::vector<std::string> options;  // after -C "Test installer"
    std::string out, err;              // err after the banner
    std::string input = "";
    bool utility = false;
};

std::string failed(const std::string &step, const std::string &input, const std::string &cmd) {
    return "\n./inst: " + step + " of " + input + " failed\n\nCommand: " + cmd + "\n";
}

const FailCase kFailCases[] = {
    {"run program exits 3", {"-f", "cat > /dev/null", "-r", "echo ran; exit 3"}, "ran\n",
     failed("final processing", "payload.tar", "echo ran; exit 3")},
    {"run program killed", {"-f", "cat > /dev/null", "-r", "echo ran; kill -KILL $$"}, "ran\n",
     failed("final processing", "payload.tar", "echo ran; kill -KILL $$")},
    {"extract command exits 4", {"-f", "cat > /dev/null; exit 4", "-r", "touch %p/ran"}, "",
     failed("extraction", "payload.tar", "cat > /dev/null; exit 4")},
    {"extract command killed", {"-f", "cat > /dev/null; kill -KILL $$", "-r", "touch %p/ran"}, "",
     failed("extraction", "payload.tar", "cat > /dev/null; kill -KILL $$")},
    {"extract command reads nothing", {"-f", "exit 4", "-r", "touch %p/ran"}, "",
     failed("extraction", "big.bin", "exit 4"), "big.bin"},
    {"extract command stops reading a raw payload early", {"-a", "-f", "head -c 10 > /dev/null", "-r", "touch %p/ran"},
     "", failed("extraction", "big.bin", "head -c 10 > /dev/null"), "big.bin"},
    {"utility, extract command fails", {"-f", "cat > /dev/null; exit 4", "-r", "true"}, "",
     failed("extraction", "payload.tar", "cat > /dev/null; exit 4"), "", true},
    {"utility, run program fails", {"-f", "cat > /dev/null", "-r", "exit 3"}, "",
     failed("final processing", "payload.tar", "exit 3"), "", true},
    {"empty raw payload", {"-a", "-f", "cat > /dev/null", "-r", "touch %p/ran"}, "", "", "empty"},
};

class FailingStep : public testkit::WorkDir, public ::testing::WithParamInterface<FailCase> {};

TEST_P(FailingStep, EndsTheRun) {
    const FailCase &c = GetParam();
    std::string input = tar;
    if (!c.input.empty()) {
        input = tmp.file(c.input);
        testkit::write_file(input, c.input == "big.bin" ? std::string(1 << 20, 'x') : "");
    }
    std::vector<std::string> options{"-C", "Test installer"};
    options.insert(options.end(), c.options.begin(), c.options.end());
    build_archive(options, input, at("inst"));
    RunResult r = c.utility ? run_in_work({"kivra", "-u", "./inst"}) : start();
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.err, kBanner + c.err);
    EXPECT_FALSE(exists("ran"));
}

INSTANTIATE_TEST_SUITE_P(Cases, FailingStep, ::testing::ValuesIn(kFailCases), testkit::CaseName());

TEST_F(Failing, CorruptMemberEndsTheRun) {
    build_archive({"-C", "Test installer", "-f", "cat > /dev/null", "-r", "touch %p/ran"}, tar, at("good"));
    const std::string good = testkit::read_file(at("good"));
    const size_t first = testkit::payload_offset(good);
    ASSERT_EQ(good.substr(first, 3), "\x1f\x8b\x08");
    struct Case {
        const char *what;
        size_t offset;  // byte to change
        std::string err;
    } cases[] = {
        {"method", first + 2,
         "./inst: ./inst: unknown method 9 -- get newer version of gzip\n./inst: unknown compression method\n"},
        {"crc", good.size() - 8, kBanner + "\n./inst: ./inst: invalid compressed data--crc error\n"},
        {"length", good.size() - 4, kBanner + "\n./inst: ./inst: invalid compressed data--length error\n"},
    };
    for (const Case &c : cases) {
        std::string bad = good;
        bad[c.offset] = static_cast<char>(bad[c.offset] + 1);
        testkit::write_file(at("inst"), bad, 0755);
        RunResult r = start();
        EXPECT_EQ(r.status, 1) << c.what;
        EXPECT_EQ(r.err, c.err) << c.what;
        EXPECT_FALSE(exists("ran")) << c.what;
    }
}

// Installers that unpack into work/vfy/qm, run with "-t <work>/big": the
// fixed path vfy/qm becomes a temporary link to big/qm, without root.
class Linked : public testkit::WorkDir {
protected:
    void SetUp() override {
        WorkDir::SetUp();
        mkdir(at("vfy").c_str(), 0755);
        mkdir(at("big").c_str(), 0755);
    }
    std::string fixed() const { return at("vfy/qm"); }
    void build(const std::string &extract, const std::string &run) {
        build_archive({"-C", "Test installer", "-V", at("vfy"), "-S", "qm", "-f", extract, "-r", run}, tar,
                      at("inst"));
    }
};

bool is_link(const std::string &path) {
    struct stat sb;
    return lstat(path.c_str(), &sb) == 0 && S_ISLNK(sb.st_mode);
}

// A signal while the link exists: the extract command is let end, the link
// goes, and the run ends by that signal. Sent while the payload still flows
// (the command has not read yet), while the driver pauses after it, and while
// the run program runs.
TEST_F(Linked, SignalRemovesTheLinkAndEndsByIt) {
    const std::string payload(1 << 20, 'x');
    testkit::write_file(tmp.file("big.bin"), payload);
    const std::string out = "cat > " + fixed() + "/big.bin", mark = "touch " + at("started") + "; ";
    struct Case {
        int sig;
        std::string extract, run;
        int delay_ms;  // after the mark, before the signal
        bool whole;    // the command received the whole payload
    } cases[] = {
        {SIGTERM, mark + "sleep 2; " + out, "touch " + at("ran"), 0, false},
        {SIGINT, mark + out, "touch " + at("ran"), 500, true},
        {SIGHUP, out, mark + "sleep 1", 0, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.sig);
        testkit::sh("rm -rf " + at("big/qm") + " " + at("started"));
        build_archive({"-C", "Test installer", "-V", at("vfy"), "-S", "qm", "-f", c.extract, "-r", c.run},
                      tmp.file("big.bin"), at("inst"));
        RunResult r = start({"-t", at("big")}, [&](int pid) {
            EXPECT_TRUE(await("started"));
            usleep(c.delay_ms * 1000);
            kill(pid, c.sig);
        });
        EXPECT_EQ(r.status, 128 + c.sig);
        EXPECT_EQ(r.err, kBanner);
        EXPECT_FALSE(is_link(fixed()));
        EXPECT_FALSE(exists("ran"));
        const std::string got = testkit::read_file(at("big/qm/big.bin"));
        EXPECT_EQ(got == payload, c.whole) << got.size();
    }
}

// Two runs into one fixed path: the second says that it waits, and waits
// until the first has ended and removed its link; then it unpacks on its own.
TEST_F(Linked, SecondExtractionWaitsForTheFirst) {
    build("touch " + at("started") + "; mkdir -p " + fixed() + " && tar xf - -C " + fixed(), "echo ran");
    RunResult second;
    RunResult first = start({"-t", at("big")}, [&](int) {
        EXPECT_TRUE(await("started"));
        second = start();
    });
    EXPECT_EQ(first.status, 0);
    EXPECT_EQ(first.err, kBanner);
    EXPECT_EQ(second.status, 0);
    EXPECT_EQ(second.out, "ran\n");
    EXPECT_EQ(second.err, "./inst: waiting for another extraction into " + fixed() + " to end\n" + kBanner);
    EXPECT_EQ(testkit::read_file(at("big/qm/a.txt")), "alpha\n");
    EXPECT_FALSE(is_link(fixed()));
    EXPECT_EQ(testkit::read_file(at("vfy/qm/a.txt")), "alpha\n");
}

TEST_F(Linked, LinkThatCannotBeRemovedIsReported) {
    build("tar xf - -C " + fixed(), "rm " + fixed() + " && mkdir " + fixed());
    RunResult r = start({"-t", at("big")});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, kBanner + fixed() + ": Is a directory\n");
    EXPECT_EQ(testkit::read_file(at("big/qm/a.txt")), "alpha\n");
}

}  // namespace
