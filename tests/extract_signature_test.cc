// Signed archives, end to end on the real binary: a signed archive with any
// byte changed or its last byte gone, one signed by another key and an
// unsigned one under -k are refused with one line before anything is created
// or run, raw and compressed; an intact one extracts exactly its payload.
// (The listing, keys files, the builder's refusals and the ssh-keygen recipe:
// tests/cli/signature.sh.)
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "extract_kit.h"
#include "testkit.h"

namespace {

using testkit::RunResult;

const std::string kKeys = testkit::source_dir() + "/tests/cli/keys/";

class Signed : public testkit::WorkDir {
protected:
    void SetUp() override {
        if (testkit::sh("command -v ssh-keygen").status != 0) GTEST_SKIP() << "ssh-keygen is not installed";
        WorkDir::SetUp();
        for (const char *k : {"signer", "other"}) testkit::write_file(tmp.file(k), testkit::read_file(kKeys + k), 0600);
    }
    // work/inst with the tar payload, signed with the key `signer` unless empty.
    std::string build(bool raw, const std::string &signer, const std::string &extract) {
        std::vector<std::string> o{"-C", "Test installer", "-f", extract, "-r", "touch %p/ran"};
        if (raw) o.push_back("-a");
        if (!signer.empty()) o.insert(o.end(), {"-K", tmp.file(signer)});
        testkit::build_archive(o, tar, at("inst"));
        return testkit::read_file(at("inst"));
    }
    // ./inst, or kivra -u -k signer.pub ./inst, in work/.
    RunResult run(bool with_keys) const {
        return with_keys ? run_in_work({"kivra", "-u", "-k", kKeys + "signer.pub", "./inst"}) : start();
    }
};

TEST_F(Signed, DamageOrAnotherKeyIsRefusedBeforeAnythingHappens) {
    const size_t stub = testkit::read_file(testkit::kivra_bin()).size();
    // Flips a bit in the second byte of the first text after the stub.
    auto in = [stub](const std::string &text, size_t skip = 1) {
        return [=](std::string &a) { a[a.find(text, stub) + skip] ^= 1; };
    };
    const std::string changed = "./inst: signature does not match: the archive was changed after it was signed\n";
    struct Case {
        const char *name;
        std::function<void(std::string &)> damage;
        const char *signer;
        bool with_keys;
        std::string err;
    } cases[] = {
        {"stub", [](std::string &a) { a[100] ^= 1; }, "signer", true, changed},  // a self-run needs its stub
        {"feature list", in("NAME=payload.tar"), "signer", false, changed},
        {"the word SIGNED itself", in("SIGNED"), "signer", false, changed},
        {"comment", in("Test installer"), "signer", false, changed},
        {"run program", in("touch %p/ran"), "signer", false, changed},
        {"extract command", in("touch %p/extracted"), "signer", false, changed},
        {"payload", in("cat > /dev/null", 40), "signer", true, changed},
        {"last byte removed", [](std::string &a) { a.pop_back(); }, "signer", false,
         "./inst: signature missing: the archive was cut short or never signed\n"},
        {"another key", [](std::string &) {}, "other", true,
         "./inst: signed by SHA256:w38YfmBlHREbUR7jc0zjIKyjB1mDeqnYwp9OI4QFIDs, which is not a key in " + kKeys +
             "signer.pub\n"},
        {"unsigned under -k", [](std::string &) {}, "", true, "./inst: not signed\n"},
    };
    for (bool raw : {false, true}) {
        for (const Case &c : cases) {
            SCOPED_TRACE(std::string(c.name) + (raw ? ", raw" : ", compressed"));
            testkit::sh("cd " + testkit::shq(work()) + " && rm -f extracted ran");  // a failed case's leftovers
            std::string a = build(raw, c.signer, "touch %p/extracted; cat > /dev/null");
            c.damage(a);
            testkit::write_file(at("inst"), a, 0755);
            RunResult r = run(c.with_keys);
            EXPECT_EQ(r.status, 1);
            EXPECT_EQ(r.out, "");
            EXPECT_EQ(r.err, c.err);
            EXPECT_EQ(testkit::sh("ls -A " + testkit::shq(work())).out, "inst\n");  // nothing extracted or run
        }
    }
}

TEST_F(Signed, IntactArchiveExtractsExactlyItsPayload) {
    for (bool raw : {false, true}) {
        SCOPED_TRACE(raw ? "raw, kivra -u -k" : "compressed, run itself");
        build(raw, "signer", "cat > %p/out");
        RunResult r = run(raw);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(testkit::read_file(at("out")), testkit::read_file(tar));
        EXPECT_TRUE(exists("ran"));
        testkit::sh("rm -f " + testkit::shq(at("out")) + " " + testkit::shq(at("ran")));
    }
}

}  // namespace
