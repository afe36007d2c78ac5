// Archives built from several input files on the real binary: one member per
// file (or the raw files back to back), NAME= from the first operand, inputs
// that cannot be opened skipped, unreadable ones failing the run. What the
// listing shows for such archives is in cli/listing.sh.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <string>
#include <vector>

#include "cli_kit.h"
#include "encode_kit.h"
#include "testkit.h"

namespace {

class CliMultifile : public ::testing::Test {
protected:
    testkit::Workspace ws;
    const size_t stub = testkit::read_file(testkit::kivra_bin()).size();
    const testkit::Files inputs = {{"d/e/f.tar", testkit::text_bytes(90000, 7)},
                                   {"g", "second file\n"},
                                   {"noise.bin", testkit::random_bytes(40000, 9)},
                                   {"empty", ""}};

    void SetUp() override {
        for (const auto &[operand, data] : inputs) ws.put(operand, data);
        mkdir(ws.file("adir").c_str(), 0755);
    }
    // The inputs named, in this order.
    testkit::Files files(const std::vector<std::string> &operands) const {
        testkit::Files out;
        for (const std::string &o : operands)
            for (const auto &in : inputs)
                if (in.first == o) out.push_back(in);
        return out;
    }
    // The payload of `archive`, after checking that its trailer holds `features`.
    std::string payload(const std::string &archive, const std::string &features, size_t stub_size) const {
        const std::string trailer = testkit::trailer_bytes(features);
        EXPECT_EQ(archive.substr(stub_size, trailer.size()), trailer);
        return archive.size() < stub_size + trailer.size() ? "" : archive.substr(stub_size + trailer.size());
    }
};

// Each case: the operands, which of them end up in the archive, and the
// messages of the skipped ones. The payload must be one member per written
// input, with its base name, its own CRC and the running size total.
TEST_F(CliMultifile, OneMemberPerInput) {
    struct Case {
        const char *name;
        std::vector<std::string> args;
        std::string features;
        std::vector<std::string> written;
        std::string err;
    } cases[] = {
        {"two inputs, NAME= from the first", {"d/e/f.tar", "g"}, "NAME=f.tar", {"d/e/f.tar", "g"}, ""},
        {"NAME= stays the last word", {"-F", "A=1,B", "-V", "/tmp", "g", "d/e/f.tar"}, "A=1,B,VFYFS=/tmp,NAME=g",
         {"g", "d/e/f.tar"}, ""},
        {"four inputs, an empty one among them", {"noise.bin", "empty", "d/e/f.tar", "g"}, "NAME=noise.bin",
         {"noise.bin", "empty", "d/e/f.tar", "g"}, ""},
        {"missing input in the middle skipped", {"d/e/f.tar", "missing", "g"}, "NAME=f.tar", {"d/e/f.tar", "g"},
         "missing: No such file or directory\n"},
        {"missing first input still names the archive", {"missing", "g", "gone/x"}, "NAME=missing", {"g"},
         "missing: No such file or directory\ngone/x: No such file or directory\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        testkit::RunResult r = ws.kivra(c.args);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.status, 0);
        testkit::expect_members(payload(r.out, c.features, stub), files(c.written));
    }
}

// -a copies the inputs back to back (their listing is in cli/listing.sh).
TEST_F(CliMultifile, RawArchiveOfSeveralFiles) {
    const std::string archive = ws.build("raw", {"-a", "d/e/f.tar", "missing", "noise.bin", "g"});
    EXPECT_TRUE(payload(archive, "NOCOMPR,NAME=f.tar", stub) == inputs[0].second + inputs[2].second + inputs[1].second);
}

// An input that opens but cannot be read (a directory) must fail the run:
// its member would otherwise end early and pass for a complete file. The
// members before it stay complete; nothing follows them.
TEST_F(CliMultifile, UnreadableInputFailsTheRun) {
    const std::string k = testkit::kivra_bin();
    struct Case {
        std::vector<std::string> args;
        std::string features, err;
        std::vector<std::string> before;
    } cases[] = {
        {{"adir"}, "NAME=adir", "", {}},
        {{"g", "adir", "d/e/f.tar"}, "NAME=g", "", {"g"}},
        {{"missing", "noise.bin", "adir"}, "NAME=missing", "missing: No such file or directory\n", {"noise.bin"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.features);
        testkit::RunResult r = ws.kivra(c.args);
        EXPECT_EQ(r.err, c.err + "\n" + k + ": adir: Is a directory\n");
        EXPECT_EQ(r.status, 1);
        testkit::expect_members(payload(r.out, c.features, stub), files(c.before));
    }
}

// Inputs that arrive in pieces (a pipe written in several bursts) are read
// to their end: a short read is no end of file. Raw copies likewise.
TEST_F(CliMultifile, PipedInputIsReadToItsEnd) {
    ws.put("stub", "#!/bin/sh\n", 0755);
    const std::string bursts = "for i in 1 2 3 4 5; do head -c 30000 d/e/f.tar; sleep 0.05; done | ";
    std::string piped;
    for (int i = 0; i < 5; i++) piped += inputs[0].second.substr(0, 30000);
    for (const bool raw : {false, true}) {
        SCOPED_TRACE(raw ? "raw" : "compressed");
        testkit::RunResult r =
            ws.run({"/bin/sh", "-c", bursts + testkit::kivra_bin() + " -p ./stub" + (raw ? " -a" : "") + " /dev/stdin g"});
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.status, 0);
        const std::string got = payload(r.out, raw ? "NOCOMPR,NAME=stdin" : "NAME=stdin", 10);
        if (raw) {
            EXPECT_TRUE(got == piped + inputs[1].second);
        } else {
            testkit::expect_members(got, {{"stdin", piped}, inputs[1]});
        }
    }
}

}  // namespace
