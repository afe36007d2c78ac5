// -l on archives made by the real builder: trailer lines, the statistics
// line with its sizes and stored name, the verbose columns, the column
// header once per run, an archive listing itself, and operands that are no
// archive. Every case checks stdout, stderr and the exit status exactly.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cli_kit.h"
#include "extract_kit.h"
#include "testkit.h"

namespace {

using cli_kit::Stats;
using cli_kit::Trailer;

// Inputs shared by the cases: a compressible tar-like file in a
// sub-directory, a short text and random bytes.
class CliListing : public ::testing::Test {
protected:
    cli_kit::Workspace ws;
    const size_t stub = testkit::read_file(testkit::kivra_bin()).size();
    std::string tar, text;

    void SetUp() override {
        for (int i = 0; tar.size() < 50000; i++) tar += "line " + std::to_string(i) + " of the payload\n";
        text = "hello, world\n";
        ws.put("d/e/f.tar", tar);
        ws.put("g", text);
    }

    // The statistics of an archive whose stub is this build's binary.
    Stats stats(const std::string &archive, const Trailer &t, uint64_t uncompressed, const std::string &name,
                bool verbose = false, uint32_t crc = 0) const {
        Stats s;
        s.compressed = archive.size() - cli_kit::preamble_end(stub, t);
        s.uncompressed = uncompressed;
        s.name = name;
        s.verbose = verbose;
        s.crc = crc;
        return s;
    }
};

TEST_F(CliListing, ArchivesOfTheBuilder) {
    const Trailer full{"VFYFS=/tmp,FSSUB=qm,QM_VENDOR=Tessaline,NAME=f.tar", "My product", "/tmp/init.qm",
                       "cd /; cat | tar -x -b 1 -Pf -  2>/tmp/qmextract"};
    const std::string a = ws.build("a", {"-C", full.comment, "-r", full.run, "-f", full.extract, "-V", "/tmp",
                                         "-S", "qm", "-O", "Tessaline", "d/e/f.tar"});
    const Trailer plain{"NAME=g"};
    const std::string b = ws.build("b", {"g"});
    const Trailer raw{"NOCOMPR,NAME=f.tar"};
    ws.build("raw", {"-a", "d/e/f.tar"});
    // The exact total recorded from 4 GiB on; used only where it agrees with
    // the size field (here 13 = 2^32 + 13 mod 2^32).
    const uint64_t over4g = (uint64_t{1} << 32) + text.size();
    const Trailer total{"TOTALSIZE=" + std::to_string(over4g) + ",NAME=g"};
    const std::string big = ws.build("big", {"-F", "TOTALSIZE=" + std::to_string(over4g), "g"});
    const Trailer wrong{"TOTALSIZE=" + std::to_string(over4g + 1) + ",NAME=g"};
    const std::string odd = ws.build("odd", {"-F", "TOTALSIZE=" + std::to_string(over4g + 1), "g"});

    struct Case {
        const char *name;
        std::vector<std::string> args;
        std::string out;
    } cases[] = {
        {"all trailer strings", {"-l", "./a"},
         trailer_lines(full) + cli_kit::columns(false) + stats_line(stats(a, full, tar.size(), "f.tar"))},
        {"defaults: no run program, default extract command", {"-l", "./b"},
         trailer_lines(plain) + cli_kit::columns(false) + stats_line(stats(b, plain, text.size(), "g"))},
        {"verbose columns, stored time 0", {"-v", "-l", "./a"},
         trailer_lines(full) + cli_kit::columns(true) +
             stats_line(stats(a, full, tar.size(), "f.tar", true, cli_kit::crc32_of(tar)))},
        {"-c keeps the stored name", {"-c", "-l", "./b"},
         trailer_lines(plain) + cli_kit::columns(false) + stats_line(stats(b, plain, text.size(), "g"))},
        {"raw payload", {"-l", "./raw"},
         trailer_lines(raw) + "Statistics unavailable because data was not compressed\n"},
        {"column header once, after the raw archive", {"-l", "./raw", "./a", "./b"},
         trailer_lines(raw) + "Statistics unavailable because data was not compressed\n" + trailer_lines(full) +
             cli_kit::columns(false) + stats_line(stats(a, full, tar.size(), "f.tar")) + trailer_lines(plain) +
             stats_line(stats(b, plain, text.size(), "g"))},
        {"recorded total of 4 GiB and more", {"-l", "./big"},
         trailer_lines(total) + cli_kit::columns(false) + stats_line(stats(big, total, over4g, "g"))},
        {"recorded total that disagrees with the size field", {"-l", "./odd"},
         trailer_lines(wrong) + cli_kit::columns(false) + stats_line(stats(odd, wrong, text.size(), "g"))},
        {"found on a path with a directory", {"-l", ws.file("b")},
         trailer_lines(plain) + cli_kit::columns(false) + stats_line(stats(b, plain, text.size(), "g"))},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        testkit::RunResult r = ws.kivra(c.args);
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.status, 0);
    }
}

// An archive started with -l lists itself, whatever operands follow; so does
// -u -l, which lists the running program rather than the named archives.
TEST_F(CliListing, ArchiveListsItself) {
    const Trailer t{"NAME=f.tar", "Self lister"};
    const std::string a = ws.build("a", {"-C", t.comment, "d/e/f.tar"});
    ws.build("other", {"g"});
    const std::string expected =
        trailer_lines(t) + cli_kit::columns(false) + stats_line(stats(a, t, tar.size(), "f.tar"));
    const std::string k = testkit::kivra_bin(), self = ws.file("a");
    struct Case {
        const char *name;
        std::vector<std::string> argv;
        std::string out, err;
        int status;
    } cases[] = {
        {"archive -l", {self, "-l"}, expected, "", 0},
        {"archive -l with operands", {self, "-l", "./other", "missing"}, expected, "", 0},
        {"archive -u -l a b", {self, "-u", "-l", "./other", "missing"}, expected, "", 0},
        {"kivra -u -l a b lists kivra", {k, "-u", "-l", "./a", "./other"}, "",
         k + ": unable to find preamble magic value\n", 1},
        {"kivra -l alone lists kivra", {k, "-l"}, "", k + ": unable to find preamble magic value\n", 1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        testkit::RunResult r = ws.run(c.argv);
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.status, c.status);
    }
}

// With standard input closed, the archive's descriptor is 0 itself; the
// listing must still read it (and the next operand) correctly.
TEST_F(CliListing, StandardInputClosed) {
    const Trailer t{"NAME=g"};
    const std::string b = ws.build("b", {"g"});
    const std::string one = trailer_lines(t) + cli_kit::columns(false) + stats_line(stats(b, t, text.size(), "g"));
    testkit::RunResult r = ws.run({"/bin/sh", "-c", testkit::kivra_bin() + " -l ./b ./b <&-"});
    EXPECT_EQ(r.out, one + trailer_lines(t) + stats_line(stats(b, t, text.size(), "g")));
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
}

// Each listed archive is given up before the next is opened: far more
// archives than the descriptor limit allows open at once are all listed.
TEST_F(CliListing, ManyOperandsUnderALowDescriptorLimit) {
    const Trailer t{"NAME=g"};
    const std::string b = ws.build("b", {"g"});
    const std::string line = stats_line(stats(b, t, text.size(), "g"));
    std::string operands, expected = trailer_lines(t) + cli_kit::columns(false) + line;
    for (int i = 0; i < 30; i++) {
        operands += " ./b";
        if (i > 0) expected += trailer_lines(t) + line;
    }
    testkit::RunResult r = ws.run({"/bin/sh", "-c", "ulimit -n 12; " + testkit::kivra_bin() + " -l" + operands});
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, expected);
    EXPECT_EQ(r.status, 0);
}

// Trailer strings and a stored name holding control characters: escaped on a
// terminal, byte for byte through a pipe.
TEST_F(CliListing, ControlCharactersOnATerminal) {
    const std::string name = "e\033x";
    ws.put(name, text);
    const Trailer t{"NAME=" + name, "a\033[2Jb\r\n\tc\\d\177\a\b\v\f", "x\001y"};
    const std::string a = ws.build("a", {"-C", t.comment, "-r", t.run, name});
    const std::string raw_stats = stats_line(stats(a, t, text.size(), name));
    const std::string escaped_stats = raw_stats.substr(0, raw_stats.size() - name.size() - 1) + "e\\033x\n";

    struct Case {
        const char *name;
        bool terminal;
        std::string out;
    } cases[] = {
        {"pipe", false, trailer_lines(t) + cli_kit::columns(false) + raw_stats},
        {"terminal", true,
         "Feature: NAME=e\\033x\nComment: a\\033[2Jb\\r\\n\\tc\\\\d\\177\\a\\b\\v\\f\n    Run: x\\001y\n"
         "Extract: cat > %p/%o\n" + cli_kit::columns(false) + escaped_stats},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        testkit::RunResult r;
        if (!c.terminal) {
            r = ws.kivra({"-l", "./a"});
        } else {
            try {
                r = extract_kit::run_on_pty({testkit::kivra_bin(), "-l", "./a"}, "", ws.path());
            } catch (const std::exception &e) {
                GTEST_SKIP() << "no pseudo-terminal to list on: " << e.what();
            }
        }
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.status, 0);
    }
}

// Operands that are no archive get their message, the good ones are still
// listed, and the run exits 1.
TEST_F(CliListing, BadOperands) {
    const Trailer t{"NAME=g"};
    const std::string good = ws.build("good", {"g"});
    const size_t payload = cli_kit::preamble_end(stub, t);
    std::string notgz = good, method7 = good;
    notgz[payload] = 'P';
    method7[payload + 2] = 7;
    ws.put("notgz", notgz, 0755);
    ws.put("method7", method7, 0755);
    ws.put("empty", good.substr(0, payload), 0755);
    ws.put("cut", good.substr(0, payload + 11), 0755);  // inside the stored name
    ws.put("cutafter", good.substr(0, payload + 15), 0755);  // 12 header bytes, then 3 of 10 or more
    ws.put("script", "#!/bin/sh\necho no archive\n", 0755);
    ws.put("noexec", good, 0644);

    const std::string k = testkit::kivra_bin();
    const std::string listed = trailer_lines(t) + cli_kit::columns(false) + stats_line(stats(good, t, text.size(), "g"));
    struct Case {
        const char *name;
        std::vector<std::string> args;
        std::string out, err;
        int status = 1;
    } cases[] = {
        {"not executable, bare name", {"-l", "noexec"}, "",
         "find_preamble: unable to find kivra to build preamble\nnoexec: unable to find preamble magic value\n"},
        {"not executable, but starting with a dot", {"-l", "./noexec"}, listed, "", 0},
        {"missing file", {"-l", "./missing"}, "",
         "./missing: No such file or directory\n./missing: unable to find preamble magic value\n"},
        {"no magic", {"-l", "./script"}, "", "./script: unable to find preamble magic value\n"},
        {"payload not gzip", {"-l", "./notgz"}, "", k + ": can only handle GZIP compression method\n"},
        {"unknown method", {"-l", "./method7"}, "", k + ": ./method7: unknown method 7 -- get newer version of gzip\n"},
        {"bad ones among good ones", {"-l", "./script", "./good", "./notgz"}, listed,
         "./script: unable to find preamble magic value\n" + k + ": can only handle GZIP compression method\n"},
        {"cut after the header, then a good one", {"-l", "./cutafter", "./good"}, listed,
         k + ": ./cutafter: member cut short after its header\n"},
        {"empty payload is fatal", {"-l", "./empty", "./good"}, "", "\n" + k + ": ./empty: unexpected end of file\n"},
        {"payload ending in the header is fatal", {"-l", "./cut"}, "", "\n" + k + ": ./cut: unexpected end of file\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        testkit::RunResult r = ws.kivra(c.args);
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.status, c.status);
    }
}

}  // namespace
