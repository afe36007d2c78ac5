// Writing the preamble (stub + trailer), and the rule that makes the program
// usable as a stub: its image never holds the magic.
#include <gtest/gtest.h>

#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "kivra.h"
#include "testkit.h"

namespace {

const std::string kMagic = "kivra+magik";

void set_strings(const char *f, const char *c, const char *r, const char *p) {
    std::strcpy(features, f);
    std::strcpy(comment, c);
    std::strcpy(run_program, r);
    std::strcpy(pipe_program, p);
}

TEST(BuildPreamble, WritesStubThenTrailer) {
    struct Case {
        const char *name;
        std::string stub;
        const char *f, *c, *r, *p;
    } cases[] = {
        {"small stub", "\x7f" "ELF stub", "NOCOMPR,NAME=a", "comment", "run", "cat > %p/%o"},
        {"empty stub, empty strings", "", "", "", "", ""},
        {"stub larger than one piece, odd size", std::string(3 * 65536 + 7, '\xab'), "A", "B", "C", "D"},
    };
    testkit::TempDir dir;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::string stub = dir.file("stub"), out = dir.file("out");
        testkit::write_file(stub, c.stub, 0755);
        set_strings(c.f, c.c, c.r, c.p);
        int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0755);
        ASSERT_GE(fd, 0);
        EXPECT_EQ(build_preamble(stub.data(), fd), 0);
        close(fd);
        std::string expect = c.stub + kMagic + c.f + '\0' + c.c + '\0' + c.r + '\0' + c.p + '\0';
        EXPECT_EQ(testkit::read_file(out), expect);

        // What was written reads back as the same trailer.
        set_strings("", "", "", "");
        fd = find_preamble(out.data());
        ASSERT_GE(fd, 0);
        EXPECT_EQ(preamble_end, static_cast<long long>(expect.size()));
        EXPECT_STREQ(features, c.f);
        EXPECT_STREQ(pipe_program, c.p);
        close(fd);
    }
}

TEST(BuildPreamble, FailuresAreReportedAndStopTheWrite) {
    testkit::TempDir dir;
    std::string missing = dir.file("missing"), good = dir.file("good");
    testkit::write_file(good, "stub", 0755);
    ASSERT_EQ(mkdir(dir.file("sub").c_str(), 0755), 0);
    // A name starting with '.' is taken as it is, so a directory gets as far as
    // the read.
    char old_cwd[4096];
    ASSERT_NE(getcwd(old_cwd, sizeof old_cwd), nullptr);
    ASSERT_EQ(chdir(dir.path().c_str()), 0);
    std::strcpy(ofname, "stdout");

    struct Case {
        const char *name;
        std::string stub;
        const char *out;
        std::string err;
    } cases[] = {
        {"stub not found", missing, "/dev/null", "build_preamble: unable to find kivra to build preamble\n"},
        {"stub is a directory", "./sub", "/dev/null", "./sub: Is a directory\n"},
        {"output full", good, "/dev/full", "stdout: No space left on device\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        int fd = open(c.out, O_WRONLY);
        ASSERT_GE(fd, 0);
        std::string stub = c.stub;
        EXPECT_EQ(testkit::stderr_of([&] { EXPECT_EQ(build_preamble(stub.data(), fd), -1); }), c.err);
        close(fd);
    }
    EXPECT_EQ(chdir(old_cwd), 0);
}

// The binary is the default stub. If its image held the magic, every archive
// built from it would be found "trailer" inside the stub instead of its own.
TEST(ProgramImage, HoldsNoMagic) {
    const std::string image = testkit::read_file(testkit::kivra_bin());
    ASSERT_GT(image.size(), 10000u);
    EXPECT_EQ(image.find(kMagic), std::string::npos);
}

}  // namespace
