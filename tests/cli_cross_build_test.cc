// The x86-64 and the i386 builds write the same archive bytes: given the same
// stub (-p), options and inputs, their outputs must be equal byte for byte.
// The other build is the one the build configured (KIVRA_OTHER_BUILD, by
// default the other architecture's preset directory); the test skips when it
// is missing or older than the sources, which would compare stale bytes.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "cli_kit.h"
#include "encode_kit.h"
#include "testkit.h"

namespace {

namespace fs = std::filesystem;

// Why the other build cannot be compared, or "" when it can.
std::string why_not_other_build(const fs::path &other) {
    std::error_code ec;
    const fs::file_time_type built = fs::last_write_time(other, ec);
    if (ec) return other.string() + " not found: build the other preset";
    for (const char *dir : {"DistrUtil", "libsrc"})
        for (const fs::directory_entry &e : fs::recursive_directory_iterator(fs::path(KIVRA_SOURCE_DIR) / dir))
            if (e.is_regular_file() && e.last_write_time() > built)
                return other.string() + " is older than " + e.path().string() + ": rebuild it";
    return "";
}

TEST(CliCrossBuild, SameArchiveFromBothBuilds) {
    const std::string other = KIVRA_OTHER_BUILD;
    if (const std::string why = why_not_other_build(other); !why.empty()) GTEST_SKIP() << why;

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
