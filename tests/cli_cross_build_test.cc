// The x86-64 and the i386 builds write the same archive bytes: given the same
// stub (-p), options and inputs, their outputs must be equal byte for byte.
// Runs when both builds exist next to each other in the build tree.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "cli_kit.h"
#include "encode_kit.h"
#include "testkit.h"

namespace {

std::string other_build() {
    const std::string self = testkit::kivra_bin();
    for (const char *preset : {"x86_64", "i386"}) {
        const std::string candidate = std::string(KIVRA_BUILD_ROOT) + "/" + preset + "/kivra";
        struct stat a, b;
        if (stat(candidate.c_str(), &a) != 0 || access(candidate.c_str(), X_OK) != 0) continue;
        if (stat(self.c_str(), &b) == 0 && a.st_dev == b.st_dev && a.st_ino == b.st_ino) continue;
        return candidate;
    }
    return "";
}

TEST(CliCrossBuild, SameArchiveFromBothBuilds) {
    const std::string other = other_build();
    if (other.empty()) GTEST_SKIP() << "needs both " KIVRA_BUILD_ROOT "/x86_64/kivra and " KIVRA_BUILD_ROOT "/i386/kivra";

    testkit::Workspace ws;
    ws.put("stub", "#!/bin/sh\necho stub\n", 0755);
    ws.put("d/f.tar", testkit::text_bytes(200000, 5));
    ws.put("noise", testkit::random_bytes(70000, 6));
    ws.put("runs", std::string(100000, 'r') + std::string(66000, '\0'));
    ws.put("kivra.bin", testkit::read_file(testkit::kivra_bin()));
    const std::vector<std::vector<std::string>> cases = {
        {"-p", "./stub", "d/f.tar"},
        {"-p", "./stub", "-C", "Product", "-V", "/tmp", "-S", "qm", "-O", "V", "-F", "A=1", "-r", "/tmp/init",
         "-f", "cd /; tar -xf -", "d/f.tar", "noise", "runs", "kivra.bin"},
        {"-p", "./stub", "-a", "noise", "d/f.tar"},
    };
    for (const std::vector<std::string> &args : cases) {
        SCOPED_TRACE(args.back());
        testkit::RunResult mine = ws.kivra(args);
        std::vector<std::string> argv{other};
        argv.insert(argv.end(), args.begin(), args.end());
        testkit::RunResult theirs = ws.run(argv);
        EXPECT_EQ(mine.status, 0) << mine.err;
        EXPECT_EQ(theirs.status, 0) << theirs.err;
        EXPECT_EQ(mine.err, theirs.err);
        EXPECT_EQ(mine.out.size(), theirs.out.size());
        EXPECT_TRUE(mine.out == theirs.out) << "outputs differ";
    }
}

}  // namespace
