// Writing the preamble (stub + trailer), read back by the trailer search.
// (Failures of the write and the rule that the program's image, the default
// stub, holds no magic are checked on the binary in cli_build_test.)
#include <gtest/gtest.h>

#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>

#include "kivra.h"
#include "testkit.h"

namespace {

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
        std::string expect = c.stub + testkit::trailer_bytes(c.f, c.c, c.r, c.p);
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

}  // namespace
