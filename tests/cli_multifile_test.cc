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

using testkit::Trailer;

struct Input {
    std::string operand, data;
};

class CliMultifile : public ::testing::Test {
protected:
    testkit::Workspace ws;
    const size_t stub = testkit::read_file(testkit::kivra_bin()).size();
    std::vector<Input> inputs;

    void SetUp() override {
        inputs = {{"d/e/f.tar", testkit::text_bytes(90000, 7)},
                  {"g", "second file\n"},
                  {"noise.bin", testkit::random_bytes(40000, 9)},
                  {"empty", ""}};
        for (const Input &in : inputs) ws.put(in.operand, in.data);
        mkdir(ws.file("adir").c_str(), 0755);
    }
    const Input &input(const std::string &operand) const {
        for (const Input &in : inputs)
            if (in.operand == operand) return in;
        throw std::runtime_error("no input " + operand);
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
        const Trailer t{c.features};
        const size_t start = testkit::payload_offset(stub, t);
        ASSERT_GT(r.out.size(), start);
        EXPECT_EQ(r.out.substr(stub, start - stub),
                  "kivra+magik" + t.features + '\0' + t.comment + '\0' + '\0' + '\0');

        const std::vector<testkit::Member> members = testkit::parse_members(r.out.substr(start));
        ASSERT_EQ(members.size(), c.written.size());
        uint32_t total = 0;
        for (size_t i = 0; i < members.size(); i++) {
            const Input &in = input(c.written[i]);
            SCOPED_TRACE(in.operand);
            ASSERT_TRUE(members[i].ok) << members[i].error;
            total += static_cast<uint32_t>(in.data.size());
            EXPECT_EQ(members[i].name, in.operand.substr(in.operand.rfind('/') + 1));
            EXPECT_TRUE(members[i].body.data == in.data);
            EXPECT_EQ(members[i].crc, testkit::crc32_of(in.data));
            EXPECT_EQ(members[i].isize, total);
        }
    }
}

// -a copies the inputs back to back (their listing is in cli/listing.sh).
TEST_F(CliMultifile, RawArchiveOfSeveralFiles) {
    const std::string archive = ws.build("raw", {"-a", "d/e/f.tar", "missing", "noise.bin", "g"});
    const size_t start = testkit::payload_offset(stub, Trailer{"NOCOMPR,NAME=f.tar"});
    EXPECT_TRUE(archive.substr(start) == input("d/e/f.tar").data + input("noise.bin").data + input("g").data);
}

// An input that opens but cannot be read (a directory) must fail the run:
// its member would otherwise end early and pass for a complete file. The
// members before it stay complete; nothing follows them.
TEST_F(CliMultifile, UnreadableInputFailsTheRun) {
    const std::string k = testkit::kivra_bin();
    struct Case {
        std::vector<std::string> args;
        std::string features, err;
        size_t members_before;
    } cases[] = {
        {{"adir"}, "NAME=adir", "", 0},
        {{"g", "adir", "d/e/f.tar"}, "NAME=g", "", 1},
        {{"missing", "noise.bin", "adir"}, "NAME=missing", "missing: No such file or directory\n", 1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.features);
        testkit::RunResult r = ws.kivra(c.args);
        EXPECT_EQ(r.err, c.err + "\n" + k + ": adir: Is a directory\n");
        EXPECT_EQ(r.status, 1);
        const size_t start = testkit::payload_offset(stub, Trailer{c.features});
        ASSERT_GE(r.out.size(), start);
        const std::vector<testkit::Member> members = testkit::parse_members(r.out.substr(start));
        EXPECT_EQ(members.size(), c.members_before);
        for (const testkit::Member &m : members) EXPECT_TRUE(m.ok) << m.error;
    }
}

// Inputs that arrive in pieces (a pipe written in several bursts) are read
// to their end: a short read is no end of file. Raw copies likewise.
TEST_F(CliMultifile, PipedInputIsReadToItsEnd) {
    ws.put("stub", "#!/bin/sh\n", 0755);
    const std::string burst = input("d/e/f.tar").data.substr(0, 30000);
    const std::string bursts = "for i in 1 2 3 4 5; do head -c 30000 d/e/f.tar; sleep 0.05; done | ";
    for (const bool raw : {false, true}) {
        SCOPED_TRACE(raw ? "raw" : "compressed");
        testkit::RunResult r =
            ws.run({"/bin/sh", "-c", bursts + testkit::kivra_bin() + " -p ./stub" + (raw ? " -a" : "") + " /dev/stdin g"});
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.status, 0);
        const Trailer t{raw ? "NOCOMPR,NAME=stdin" : "NAME=stdin"};
        const std::string payload = r.out.substr(testkit::payload_offset(10, t));
        std::string piped;
        for (int i = 0; i < 5; i++) piped += burst;
        if (raw) {
            EXPECT_TRUE(payload == piped + input("g").data);
            continue;
        }
        const std::vector<testkit::Member> members = testkit::parse_members(payload);
        ASSERT_EQ(members.size(), 2u);
        EXPECT_EQ(members[0].name, "stdin");
        EXPECT_TRUE(members[0].body.data == piped);
        EXPECT_EQ(members[1].isize, piped.size() + input("g").data.size());
    }
}

}  // namespace
