// Command line: help texts, refused values and the choice of role, each case
// run on the real binary with its exact stdout, stderr and exit status.
#include <gtest/gtest.h>

#include <string>
#include <unistd.h>
#include <vector>

#include "cli_kit.h"
#include "testkit.h"

namespace {

using testkit::kivra_bin;

const std::string kVersion = "Version: @(#) kivra 1.2.1    6/6/2001 \n";

std::string usage_builder(const std::string &prog) {
    return kVersion + "Usage: " + prog +
           " [-huclva] [-p kivra_path] [-C 'comment'] [-f 'extract_shell_cmds'] "
           "[-r 'run_program_after_extraction'] [-V 'filesystem'] [-S 'fssub'] [-F feature_sting] "
           "<files...>\n"
           "    -K key: sign the archive with this Ed25519 key (through ssh-keygen -Y sign)\n"
           "    -q: quiet: no progress line, only errors\n"
           "    -j N: compress on N threads (default: the CPUs it may run on); the archive is the same\n";
}

std::string usage_archive(const std::string &prog, const std::string &comment) {
    return kVersion + "\n" + comment + "\n\n" + "Usage: " + prog + " [-hclnvtx]\n" +
           "    -h: show this help\n"
           "    -u: use as utility to decompress archive specified on command-line\n"
           "    -l: list compression statistics\n"
           "    -c: extract to stdout instead of archive name\n"
           "    -x: extract only. do not deflate the archive\n"
           "    -n: do not run install command after deflating archive\n"
           "    -t: temp path for decompression if archive allows\n"
           "    -v: verbose output\n"
           "    -k keys: refuse the archive unless it is signed by one of these public keys\n"
           "    -q: quiet: no comment, notes or progress line, only errors\n"
           "    -s: skip the payload check (stream a payload too large to read twice)\n"
           "    -- ARGS...: hand ARGS to the run program as its arguments\n";
}

struct Case {
    const char *name;
    std::vector<std::string> args;  // after the program
    std::string err;
    int status;
};

void run_cases(const std::string &prog, const std::vector<Case> &cases, const std::string &cwd = "") {
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> argv{prog};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        testkit::RunOptions opts;
        opts.cwd = cwd;
        opts.stdin_null = true;
        testkit::RunResult r = testkit::run(argv, opts);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.status, c.status);
    }
}

TEST(CliRoles, HelpAndUsageErrors) {
    const std::string k = kivra_bin();
    run_cases(k, {
        {"-h", {"-h"}, usage_builder(k), 1},
        {"-?", {"-?"}, usage_builder(k), 1},
        {"help wins over later options", {"-h", "-C", "x", "f"}, usage_builder(k), 1},
        {"rejected option", {"-z"}, k + ": invalid option -- 'z'\n" + usage_builder(k), 1},
        {"missing option value", {"-a", "-p"}, k + ": option requires an argument -- 'p'\n" + usage_builder(k), 1},
        {"no operand", {}, usage_builder(k) + k + ": what files do you want to compress?\n", 1},
        {"flags but no operand", {"-c", "-v", "-x", "-n", "-a"},
         usage_builder(k) + k + ": what files do you want to compress?\n", 1},
        {"-u then -h: archive help, empty comment", {"-u", "-h"}, usage_archive(k, ""), 1},
        {"-C before -h shows in the archive help", {"-C", "hello", "-u", "-h"}, usage_archive(k, "hello"), 1},
        {"-h before -u: builder help", {"-h", "-u"}, usage_builder(k), 1},
        {"rejected option after -u", {"-u", "-y"}, k + ": invalid option -- 'y'\n" + usage_archive(k, ""), 1},
        {"-u without an archive", {"-u"}, k + ": -u needs the name of the archive to extract\n", 1},
        {"-j 0", {"-j", "0", "f"}, k + ": -j needs a number of threads from 1 to 1024\n", 1},
        {"-j above the limit", {"-j", "1025", "f"}, k + ": -j needs a number of threads from 1 to 1024\n", 1},
        {"-j not a number", {"-j", "2x", "f"}, k + ": -j needs a number of threads from 1 to 1024\n", 1},
        {"-u with flags but no archive", {"-v", "-u", "-x"}, k + ": -u needs the name of the archive to extract\n", 1},
        // -l comes before every other role: the program lists itself, no archive.
        {"-l alone", {"-l"}, k + ": unable to find preamble magic value\n", 1},
        {"-l before -u", {"-l", "-u"}, k + ": unable to find preamble magic value\n", 1},
        {"-l after -u, with operands", {"-u", "-l", "a", "b"}, k + ": unable to find preamble magic value\n", 1},
    });
}

TEST(CliRoles, ValuesLongerThanTheirBuffers) {
    const std::string k = kivra_bin();
    const std::string v1024(1024, 'v'), name1024(1024, 'n');
    const std::string fs249(249, 'f'), fs250(250, 'f');
    std::vector<Case> cases;
    for (const char *opt : {"-p", "-C", "-r", "-f"})
        cases.push_back({opt, {opt, v1024, "f"}, k + ": value of " + opt + " is longer than 1023 characters\n", 1});
    cases.push_back({"-t after -u", {"-u", "-t", v1024, "a"}, k + ": value of -t is longer than 1023 characters\n", 1});
    cases.push_back({"-V", {"-V", fs250, "f"}, k + ": -V: \"VFYFS=\" and its value hold at most 255 characters\n", 1});
    cases.push_back({"-S", {"-S", fs250, "f"}, k + ": -S: \"FSSUB=\" and its value hold at most 255 characters\n", 1});
    cases.push_back({"-O", {"-O", std::string(246, 'o'), "f"},
                     k + ": -O: \"QM_VENDOR=\" and its value hold at most 255 characters\n", 1});
    cases.push_back({"-F", {"-F", v1024, "f"},
                     k + ": feature list longer than 1023 characters: cannot add \"" + v1024 + "\"\n", 1});
    cases.push_back({"list filled by several options", {"-F", std::string(1000, 'a'), "-V", std::string(20, 'b'), "f"},
                     k + ": feature list longer than 1023 characters: cannot add \"VFYFS=" + std::string(20, 'b') + "\"\n", 1});
    cases.push_back({"operand", {"-a", name1024},
                     k + ": file name longer than 1023 characters: " + std::string(40, 'n') + "...\n", 1});
    cases.push_back({"base name too long for NAME=", {"-a", "d/" + std::string(251, 'n')},
                     k + ": archive name: \"NAME=\" and its value hold at most 255 characters\n", 1});
    cases.push_back({"NAME= overflows the list", {"-a", "-F", std::string(1010, 'a'), "f"},
                     k + ": feature list longer than 1023 characters: cannot add \"NAME=f\"\n", 1});
    // Options that the role ignores are not measured.
    cases.push_back({"-t long in the builder, -V long after -u", {"-t", v1024, "-u", "-V", fs250},
                     k + ": -u needs the name of the archive to extract\n", 1});
    // The limits themselves are accepted (nothing to compress: usage error).
    const std::string ok = usage_builder(k) + k + ": what files do you want to compress?\n";
    cases.push_back({"1023 characters", {"-C", std::string(1023, 'c'), "-p", std::string(1023, 'p')}, ok, 1});
    cases.push_back({"-V of 255 characters", {"-V", fs249}, ok, 1});
    cases.push_back({"list of 1023 characters", {"-F", std::string(1023, 'a')}, ok, 1});
    run_cases(k, cases);
}

// An archive (the program with a trailer) plays the archive's roles: its help
// shows the comment stored in its trailer.
TEST(CliRoles, ArchiveStartUpLoadsItsTrailer) {
    testkit::Workspace ws;
    ws.put("f", "data\n");
    ws.build("arc", {"-a", "-C", "Stored comment", "f"});
    const std::string arc = ws.file("arc");
    run_cases(arc, {
        {"archive help", {"-h"}, usage_archive(arc, "Stored comment"), 1},
        {"-C replaces it for the help", {"-C", "other", "-h"}, usage_archive(arc, "other"), 1},
        {"builder options are ignored", {"-a", "-V", std::string(300, 'v'), "-F", std::string(2000, 'f'), "-h"},
         usage_archive(arc, "Stored comment"), 1},
        {"-u without an archive", {"-u"}, arc + ": -u needs the name of the archive to extract\n", 1},
        {"-t is taken", {"-t", std::string(1024, 't'), "x"}, arc + ": value of -t is longer than 1023 characters\n", 1},
    });
}

// A read error while an archive's trailer is searched or loaded ends the run
// with that error in every role, before anything is started; taken for the end
// of the file it made the archive a builder, taken for the end of a string it
// shifted the run program into the extract command's place. strace injects
// EIO into the Nth read of the process.
TEST(CliRoles, ReadErrorsInTheTrailerEndTheRun) {
    if (testkit::run({"strace", "-o", "/dev/null", "true"}).status != 0)
        GTEST_SKIP() << "strace is missing or cannot trace here; it injects the read errors";
    testkit::Workspace ws;
    ws.put("g", "data\n");
    ws.build("arc", {"-a", "-f", "cat > out", "-r", "touch ran", "g"});

    // Reads of one load: -h loads the trailer once and stops. Its last 10 reads
    // are the extract command "cat > out" and its NUL, one byte each, so the
    // read before them takes the run program's NUL.
    testkit::RunResult count = ws.run({"strace", "-o", "log", "-e", "trace=read", "./arc", "-h"});
    ASSERT_EQ(count.status, 1) << count.err;
    int load = 0;
    const std::string log = testkit::read_file(ws.file("log"));
    for (size_t at = log.find("read("); at != std::string::npos; at = log.find("read(", at + 1)) load++;
    ASSERT_GT(load, 20);
    const int run_nul = load - 10;

    struct Case {
        const char *name;
        std::vector<std::string> args;
        int when;
    } cases[] = {
        {"start-up, first read of the search", {}, 1},
        {"start-up, a trailer string", {}, run_nul},
        {"the extraction's own load", {}, load + run_nul},
        {"the listing's own load", {"-l"}, load + run_nul},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> argv{"strace", "-o", "/dev/null", "-e", "trace=read",
                                      "-e", "inject=read:error=EIO:when=" + std::to_string(c.when), "./arc"};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        testkit::RunResult r = ws.run(argv);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "./arc: Input/output error\n");
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(access(ws.file("out").c_str(), F_OK), 0) << "the extract command ran";
        EXPECT_NE(access(ws.file("ran").c_str(), F_OK), 0) << "the run program ran";
    }
}

// argv[0] that leads nowhere: the builder has no stub to copy unless -p names one.
TEST(CliRoles, OwnFileNotFound) {
    testkit::Workspace ws;
    ws.put("f", "data\n");
    const std::string k = kivra_bin();
    testkit::RunResult r = ws.run({"bash", "-c", "exec -a nowhere-kivra " + k + " -a f"});
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err,
              "find_preamble: unable to find kivra to build preamble\n"
              "nowhere-kivra: cannot find this program's own file to copy as the archive's stub; name it with -p\n");
    EXPECT_EQ(r.status, 1);

    r = ws.run({"bash", "-c", "exec -a nowhere-kivra " + k + " -a -p " + k + " f"});
    EXPECT_EQ(r.err, "find_preamble: unable to find kivra to build preamble\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.substr(0, 4), "\x7f" "ELF");
}

}  // namespace
