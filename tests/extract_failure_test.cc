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

const std::string kBanner = "\nTest installer\n\nPlease wait...\n";

using Failing = testkit::WorkDir;

TEST_F(Failing, RunProgramFailsOrIsKilled) {
    const char *commands[] = {"echo ran; exit 3", "echo ran; kill -KILL $$"};
    for (const char *cmd : commands) {
        build_archive({"-C", "Test installer", "-f", "cat > /dev/null", "-r", cmd}, tar, at("inst"));
        RunResult r = start();
        EXPECT_EQ(r.status, 1) << cmd;
        EXPECT_EQ(r.out, "ran\n") << cmd;
        EXPECT_EQ(r.err, kBanner + "\n./inst: final processing of payload.tar failed\n\nCommand: " + cmd + "\n");
    }
}

TEST_F(Failing, ExtractCommandFailsOrIsKilled) {
    const char *commands[] = {"cat > /dev/null; exit 4", "cat > /dev/null; kill -KILL $$"};
    for (const char *cmd : commands) {
        build_archive({"-C", "Test installer", "-f", cmd, "-r", "touch %p/ran"}, tar, at("inst"));
        RunResult r = start();
        EXPECT_EQ(r.status, 1) << cmd;
        EXPECT_EQ(r.out, "") << cmd;
        EXPECT_EQ(r.err, kBanner + "\n./inst: extraction of payload.tar failed\n\nCommand: " + cmd + "\n");
        EXPECT_FALSE(exists("ran")) << cmd;
    }
}

// A payload larger than a pipe holds, and a command that stops reading
// early: the broken pipe is the command's failure, reported as such.
TEST_F(Failing, ExtractCommandStopsReadingEarly) {
    testkit::write_file(tmp.file("big.bin"), std::string(1 << 20, 'x'));
    struct Case {
        bool raw;
        const char *cmd;
    } cases[] = {{false, "exit 4"}, {true, "head -c 10 > /dev/null"}};
    for (const Case &c : cases) {
        std::vector<std::string> opts{"-C", "Test installer", "-f", c.cmd, "-r", "touch %p/ran"};
        if (c.raw) opts.push_back("-a");
        build_archive(opts, tmp.file("big.bin"), at("inst"));
        RunResult r = start();
        EXPECT_EQ(r.status, 1) << c.cmd;
        EXPECT_EQ(r.out, "") << c.cmd;
        EXPECT_EQ(r.err, kBanner + "\n./inst: extraction of big.bin failed\n\nCommand: " + c.cmd + "\n");
        EXPECT_FALSE(exists("ran")) << c.cmd;
    }
}

// Started through "kivra -u", the tool's own name differs from the archive's:
// both failure reports name the archive.
TEST_F(Failing, UtilityReportsNameTheArchive) {
    struct Case {
        const char *extract, *run;
        std::string failed, command;
    } cases[] = {
        {"cat > /dev/null; exit 4", "true", "extraction", "cat > /dev/null; exit 4"},
        {"cat > /dev/null", "exit 3", "final processing", "exit 3"},
    };
    for (const Case &c : cases) {
        build_archive({"-C", "Test installer", "-f", c.extract, "-r", c.run}, tar, at("inst"));
        testkit::RunOptions o;
        o.cwd = work();
        o.stdin_null = true;
        RunResult r = testkit::run({testkit::kivra_bin(), "-u", "./inst"}, o);
        EXPECT_EQ(r.status, 1) << c.failed;
        EXPECT_EQ(r.err, kBanner + "\n./inst: " + c.failed + " of payload.tar failed\n\nCommand: " + c.command + "\n");
    }
}

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

TEST_F(Failing, EmptyRawPayloadDoesNotRun) {
    testkit::write_file(tmp.file("empty"), "");
    build_archive({"-a", "-C", "Test installer", "-f", "cat > /dev/null", "-r", "touch %p/ran"}, tmp.file("empty"),
                  at("inst"));
    RunResult r = start();
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, kBanner);
    EXPECT_FALSE(exists("ran"));
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
        {SIGTERM, mark + "sleep 1; " + out, "touch " + at("ran"), 0, false},
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
