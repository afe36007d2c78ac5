// The builder on the real binary: raw archives byte for byte, skipped inputs,
// and failures that must end the run with status 1 instead of a broken archive
// passing for a good one.
#include <gtest/gtest.h>

#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

#include "cli_kit.h"
#include "testkit.h"

namespace {

using testkit::kivra_bin;
using testkit::kMagic;
using testkit::trailer_bytes;

TEST(CliBuild, RawArchivesByteForByte) {
    testkit::Workspace ws;
    const std::string tar(70000, '\x5a'), g("second\n"), stub("#!stub\0bytes", 12);
    ws.put("d/e/f.tar", tar);
    ws.put("g", g);
    ws.put("stub", stub, 0755);
    const std::string image = testkit::read_file(kivra_bin());

    struct Case {
        const char *name;
        std::vector<std::string> args;
        std::string out, err;
    } cases[] = {
        {"every option, two inputs",
         {"-a", "-C", "My product", "-r", "/tmp/init.qm", "-f", "cd /; cat | tar -x -b 1 -Pf -  2>/tmp/qmextract",
          "-V", "/tmp", "-S", "qm", "-O", "Tessaline", "-F", "A=1,B", "d/e/f.tar", "g"},
         image +
             trailer_bytes("NOCOMPR,VFYFS=/tmp,FSSUB=qm,QM_VENDOR=Tessaline,A=1,B,NAME=f.tar", "My product", "/tmp/init.qm",
                     "cd /; cat | tar -x -b 1 -Pf -  2>/tmp/qmextract") +
             tar + g,
         ""},
        {"empty comment gets the default", {"-a", "-C", "", "g"},
         image + trailer_bytes("NOCOMPR,NAME=g") + g, ""},
        {"options after the operands count too", {"g", "-a"},
         image + trailer_bytes("NOCOMPR,NAME=g") + g, ""},
        {"-p names the stub", {"-p", "./stub", "-a", "g"},
         stub + trailer_bytes("NOCOMPR,NAME=g") + g, ""},
        {"-a given twice", {"-a", "-a", "g"},
         image + trailer_bytes("NOCOMPR,NOCOMPR,NAME=g") + g, ""},
        {"missing input skipped, status 0", {"-a", "missing", "g", "gone"},
         image + trailer_bytes("NOCOMPR,NAME=missing") + g,
         "missing: No such file or directory\ngone: No such file or directory\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        testkit::RunResult r = ws.kivra(c.args);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.status, 0);
        EXPECT_TRUE(r.out == c.out) << "output of " << r.out.size() << " bytes differs from the expected "
                                    << c.out.size();
        // One magic: the stub (the program's image by default) holds none.
        EXPECT_EQ(r.out.find(kMagic), r.out.rfind(kMagic));
    }
}

// Nothing may be written after a failed stub, nor when no input can be added:
// the output would be no archive. A listing that cannot be written fails too.
TEST(CliBuild, FailuresWriteNoArchive) {
    testkit::Workspace ws;
    ws.put("g", "data");
    ASSERT_EQ(mkdir(ws.file("sub").c_str(), 0755), 0);
    const std::string k = kivra_bin();
    struct Case {
        const char *name;
        std::string command, err;
    } cases[] = {
        {"stub not found", kivra_bin() + " -a -p /nonexistent/stub g",
         "build_preamble: unable to find kivra to build preamble\n"},
        {"stub unreadable", kivra_bin() + " -a -p ./sub g", "./sub: Is a directory\n"},
        {"output full", kivra_bin() + " -a g > /dev/full", "stdout: No space left on device\n"},
        {"stub is an archive", kivra_bin() + " -a g > arc && chmod 755 arc && " + kivra_bin() + " -a -p ./arc g",
         "build_preamble: ./arc is an archive itself and cannot be the stub of another\n"},
        {"every input missing", k + " -a missing gone",
         "missing: No such file or directory\ngone: No such file or directory\n" + k +
             ": no input file could be opened: no archive written\n"},
        {"a comma in the first name would add feature words", k + " -a 'g,PS4=$(touch PWNED)' g",
         k + ": the first file's name \"g,PS4=$(touch PWNED)\" holds a comma, which would add words to the "
             "feature list: rename it\n"},
        {"a placeholder where its value would run", k + " -a -f 'cat >%o' -r 'trap \"rm %p/x\" EXIT' g",
         k + ": -r \"trap \"rm %p/x\" EXIT\": %p would be read as shell text again (eval, trap, alias, ssh, watch)\n"},
        {"listing into a full output", k + " g > arc2 && chmod 755 arc2 && " + k + " -l ./arc2 > /dev/full",
         "\n" + k + ": stdout: No space left on device\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        testkit::RunResult r = ws.run({"/bin/sh", "-c", c.command});
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.status, 1);
    }
}

// Errors while copying an input raw: a write error (the output file hits its
// size limit after the preamble) and a read error (a directory as input).
TEST(CliBuild, RawCopyErrorsEndTheRun) {
    testkit::Workspace ws;
    ws.put("big", std::string(1 << 20, 'b'));
    ASSERT_EQ(mkdir(ws.file("adir").c_str(), 0755), 0);
    const std::string k = kivra_bin();
    const size_t preamble = testkit::read_file(k).size() + trailer_bytes("NOCOMPR,NAME=big").size();
    const size_t blocks = preamble / 1024 + 2;  // room for the preamble and a little payload

    testkit::RunResult r =
        ws.run({"bash", "-c", "trap '' XFSZ; ulimit -f " + std::to_string(blocks) + "; exec " + k + " -a big > out"});
    EXPECT_EQ(r.err, "\n" + k + ": stdout: File too large\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(testkit::read_file(ws.file("out")).size(), blocks * 1024);

    r = ws.kivra({"-a", "adir"});
    EXPECT_EQ(r.err, "\n" + k + ": adir: Is a directory\n");
    EXPECT_EQ(r.status, 1);
}

// Inputs of 4 GiB and more in all (sparse files): the exact total goes into
// the trailer, written before the members, so the preamble alone shows it;
// below 4 GiB, and for a raw payload, the trailer stays as it always was.
TEST(CliBuild, ExactTotalRecordedFrom4GiB) {
    testkit::Workspace ws;
    const long long four_gib = 1LL << 32;
    ws.put("g", "second\n");
    for (const auto &[name, size] : {std::pair{"big", four_gib - 7}, std::pair{"below", four_gib - 8}}) {
        ws.put(name, "");
        if (truncate(ws.file(name).c_str(), size) != 0) GTEST_SKIP() << "no sparse file of 4 GiB here";
    }
    const std::string k = kivra_bin();
    const size_t stub = testkit::read_file(k).size();
    struct Case {
        const char *name;
        std::string args, features;
    } cases[] = {
        {"4 GiB in two inputs", "big g", "TOTALSIZE=4294967296,NAME=big"},
        {"one byte less", "below g", "NAME=below"},
        {"raw payload", "-a big g", "NOCOMPR,NAME=big"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        // Only the preamble is taken; the builder then ends on the closed pipe.
        testkit::RunResult r = ws.run({"/bin/sh", "-c", k + " " + c.args + " | head -c " + std::to_string(stub + 100)});
        ASSERT_EQ(r.out.size(), stub + 100);
        EXPECT_EQ(r.out.substr(stub, kMagic.size() + c.features.size() + 1), kMagic + c.features + '\0');
    }
}

}  // namespace
