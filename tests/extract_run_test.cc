// End to end: installers built by the real binary around a tar payload, run
// as a user would run them. Each extraction pauses 2 s, so every scenario is
// its own TEST and CTest runs them side by side.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include "extract_kit.h"
#include "testkit.h"

namespace {

using testkit::build_archive;
using testkit::RunResult;

using testkit::kBanner;

class Installer : public testkit::WorkDir {
protected:
    // An installer that unpacks into ./out and records its environment.
    void build(std::vector<std::string> extra = {}) {
        std::vector<std::string> opts{"-C", "Test installer", "-f", "mkdir -p %p/out && tar xf - -C %p/out",
                                      "-r", "env > %p/run.env; echo ran", "-F", "A=1,FLAG", "-O", "acme"};
        opts.insert(opts.end(), extra.begin(), extra.end());
        build_archive(opts, tar, at("inst"));
    }
    void expect_unpacked() {
        EXPECT_EQ(testkit::read_file(at("out/a.txt")), "alpha\n");
        EXPECT_EQ(testkit::read_file(at("out/sub/b.txt")), "beta\n");
    }
};

bool has_line(const std::string &text, const std::string &line) {
    return ("\n" + text).find("\n" + line + "\n") != std::string::npos;
}

// The installer of Installer::build run with these arguments ("-u" first:
// as "kivra -u <args> ./inst"). In out, "$W" stands for the work directory
// and "$TAR" for the payload; err follows the banner.
struct RunCase {
    const char *name;
    std::vector<std::string> args;
    std::string out, err;
    bool unpacked, ran;
};

const RunCase kRunCases[] = {
    {"unpacks and runs the program", {}, "ran\n", "", true, true},
    {"-n: no run", {"-n"}, "", "", true, false},
    {"-x: payload to standard output", {"-x"}, "$TAR", "Deflating payload.tar...\n", false, false},
    {"-v without a terminal: no run",
     {"-v"},
     "This archive requires more processing using the following command:\n"
     "    env > $W/run.env; echo ran\nbut stdin is not a terminal. So forget it.\n",
     "Deflating payload.tar...\n", true, false},
    {"utility extracts the named archive", {"-u", "-n"}, "", "", true, false},
};

class InstallerRun : public Installer, public ::testing::WithParamInterface<RunCase> {};

TEST_P(InstallerRun, Case) {
    const RunCase &c = GetParam();
    build();
    RunResult r;
    if (!c.args.empty() && c.args[0] == "-u") {
        std::vector<std::string> argv{"kivra"};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        argv.push_back("./inst");
        r = run_in_work(argv);
    } else {
        r = start(c.args);
    }
    EXPECT_EQ(r.status, 0);
    std::string out = c.out == "$TAR" ? testkit::read_file(tar) : c.out;
    if (const size_t w = out.find("$W"); w != std::string::npos) out.replace(w, 2, work());
    EXPECT_EQ(r.out, out);
    EXPECT_EQ(r.err, kBanner + c.err);
    EXPECT_EQ(exists("out"), c.unpacked);
    if (c.unpacked) expect_unpacked();
    EXPECT_EQ(exists("run.env"), c.ran);
    if (!c.ran) return;
    const std::string env = testkit::read_file(at("run.env"));
    for (const char *line : {"A=1", "FLAG=", "QM_VENDOR=acme", "NAME=payload.tar"}) {
        EXPECT_TRUE(has_line(env, line)) << line;
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, InstallerRun, ::testing::ValuesIn(kRunCases), testkit::CaseName());

TEST_F(Installer, RawPayloadGoesToItsNameByDefault) {
    // -a stores the tar raw; no -f: the default command writes %p/%o.
    build_archive({"-a", "-C", "Test installer", "-r", "env > %p/run.env"}, tar, at("inst"));
    RunResult r = start();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, kBanner);
    EXPECT_EQ(testkit::read_file(at("payload.tar")), testkit::read_file(tar));
    std::string env = testkit::read_file(at("run.env"));
    EXPECT_TRUE(has_line(env, "NOCOMPR="));
    EXPECT_TRUE(has_line(env, "NAME=payload.tar"));
}

TEST_F(Installer, ToStdoutNamesTheOutputStdout) {
    build_archive({"-C", "Test installer"}, tar, at("inst"));
    RunResult r = start({"-c"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, kBanner);
    EXPECT_EQ(testkit::read_file(at("stdout")), testkit::read_file(tar));
    EXPECT_FALSE(exists("payload.tar"));
}

// A hostile member name reaches both commands exactly, also where feature
// words try to replace the variables behind the placeholders; nothing of it
// runs; -v shows the command with the value.
TEST_F(Installer, HostileNameReachesTheCommandsExactly) {
    const std::string name = "it's a b;touch PWNED";
    testkit::write_file(tmp.file(name), "payload\n");
    build_archive({"-a", "-C", "Test installer", "-F", "KIVRA_FILE=x,KIVRA_DIR=y", "-r",
                   "printf '[%s]\\n' %o \"$KIVRA_DIR\""},
                  tmp.file(name), at("inst"));
    RunResult r = start();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "[" + name + "]\n[" + work() + "]\n");
    EXPECT_EQ(r.err, kBanner);
    EXPECT_EQ(testkit::read_file(at(name)), "payload\n");
    EXPECT_FALSE(exists("PWNED"));
    r = start({"-v"});
    EXPECT_EQ(r.out, "This archive requires more processing using the following command:\n"
                     "    printf '[%s]\\n' 'it'\\''s a b;touch PWNED' \"$KIVRA_DIR\"\n"
                     "but stdin is not a terminal. So forget it.\n");
}

// A stored run program that the builder of today would refuse is refused at
// extraction: one line, nothing of the value runs, exit 1.
TEST_F(Installer, StoredCommandWhereAValueWouldRunIsRefused) {
    const std::string name = "a;touch PWNED";
    testkit::write_file(tmp.file(name), "payload\n");
    build_archive({"-a", "-C", "Test installer", "-r", "evaX echo %o"}, tmp.file(name), at("inst"));
    std::string image = testkit::read_file(at("inst"));
    image.replace(image.rfind("evaX echo %o"), 4, "eval");
    testkit::write_file(at("inst"), image, 0755);
    RunResult r = start();
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, kBanner + "./inst: cannot expand command \"eval echo %o\": %o would be read "
                               "as shell text again (eval, trap, alias, ssh, watch)\n");
    EXPECT_FALSE(exists("PWNED"));
}

}  // namespace
