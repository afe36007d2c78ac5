// Placeholder expansion in the archive's shell commands: exact texts, quoting
// for every quoting context (checked by letting /bin/sh read the result), and
// refusal of results that cannot be built.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "kivra.h"
#include "testkit.h"

namespace {

struct Freer {
    void operator()(char *p) const { std::free(p); }
};
using Block = std::unique_ptr<char, Freer>;

// Runs the test body in a given working directory and returns to the old one.
class InDir {
public:
    explicit InDir(const std::string &d) {
        char buf[4096];
        old_ = getcwd(buf, sizeof buf);
        EXPECT_EQ(chdir(d.c_str()), 0);
    }
    ~InDir() { EXPECT_EQ(chdir(old_.c_str()), 0); }

private:
    std::string old_;
};

std::string expand(const std::string &cmd, const std::string &name) {
    std::strcpy(ofname, name.c_str());
    Block b(replace_program_parms(cmd.c_str()));
    EXPECT_NE(b, nullptr) << cmd;
    return b ? std::string(b.get()) : std::string("<NULL>");
}

TEST(ReplaceProgramParms, ExactTexts) {
    testkit::TempDir dir;  // /tmp/kivra-test-XXXXXX: only characters the shell takes literally
    InDir in(dir.path());
    const std::string d = dir.path();
    struct Case {
        std::string cmd, name, expect;
    } cases[] = {
        {"cat > %p/%o", "f.tar", "cat > " + d + "/f.tar"},
        {"cat > %o", "", "cat > "},
        {"100%", "x", "100%"},
        {"date +%Y-%m", "x", "date +%Y-%m"},
        {"", "x", ""},
        {"%%o", "x", "%%o"},
        {"%x%", "x", "%x%"},
        {"cp %o %o.bak", "a-b_c,d:e@f=g+h%i", "cp a-b_c,d:e@f=g+h%i a-b_c,d:e@f=g+h%i.bak"},
        {"cat > %o", "my file.tar", "cat > 'my file.tar'"},
        {"cat > %o", "it's", "cat > 'it'\\''s'"},
        {"cat > %o", "%o", "cat > %o"},  // values are never expanded again
        {"cat > \"%o\"", "a\"$b`c\\d e", "cat > \"a\\\"\\$b\\`c\\\\d e\""},
        {"echo '%o'", "it's a \"x\" $y", "echo 'it'\\''s a \"x\" $y'"},
        {"echo \"it's\" %o", "a b", "echo \"it's\" 'a b'"},        // ' inside "..." opens nothing
        {"echo 'say \"' %o", "a b", "echo 'say \"' 'a b'"},        // " inside '...' opens nothing
        {"echo \\' %o", "a b", "echo \\' 'a b'"},                  // escaped ' opens nothing
        {"echo \"\\\"%o\"", "$x", "echo \"\\\"\\$x\""},            // escaped " inside "..." closes nothing
        {"echo x\\%o", "a b", "echo x\\\n'a b'"},                  // escaping backslash neutralised
        {"echo '%' %o", "a b", "echo '%' 'a b'"},                  // "%'" closes the quote
    };
    for (const Case &c : cases) EXPECT_EQ(expand(c.cmd, c.name), c.expect) << c.cmd << " / " << c.name;
}

// Whatever the value and wherever the placeholder stands, the shell must read
// exactly the value: here it is printed back by printf and compared.
TEST(ReplaceProgramParms, ShellReadsExactlyTheValue) {
    const std::string values[] = {
        "plain.tar", "my file.tar", "it's", "a\"b", "$HOME", "`id`", "$(id)", "back\\slash",
        "semi;colon&amp|pipe", "new\nline", "-dash", "*glob?[a]", "~tilde", "#hash", "tab\tx",
        "'", "''", "\\", "%o", "end\\",
    };
    struct Context {
        const char *cmd;
        const char *before, *after;  // what surrounds the value in the output
    } contexts[] = {
        {"printf '[%s]' %o", "[", "]"},
        {"printf '[%s]' \"<%o>\"", "[<", ">]"},
        {"printf '[%s]' '<%o>'", "[<", ">]"},
        {"printf '[%s]' x\\%o", "[x", "]"},
        {"printf '[%s]' \"x\\%o\"", "[x", "]"},
        {"printf '[%s]' %o%o", "[", "]"},  // value printed twice (see below)
        {"printf '[%s]' \"it's\"%o", "[it's", "]"},
        {"printf '[%s]' 'say \"'%o", "[say \"", "]"},
        {"printf '[%s]' \\\"%o", "[\"", "]"},
    };
    for (const Context &ctx : contexts) {
        for (const std::string &v : values) {
            SCOPED_TRACE(std::string(ctx.cmd) + " with value: " + v);
            const std::string cmd = expand(ctx.cmd, v);
            const bool twice = std::strstr(ctx.cmd, "%o%o") != nullptr;
            testkit::RunResult r = testkit::sh(cmd);
            EXPECT_EQ(r.status, 0) << r.err;
            EXPECT_EQ(r.out, ctx.before + v + (twice ? v : "") + ctx.after) << "command: " << cmd;
        }
    }
}

TEST(ReplaceProgramParms, WorkingDirectoryIsQuotedToo) {
    testkit::TempDir dir;
    const std::string odd = dir.file("it's a \"dir\" $x");
    ASSERT_EQ(mkdir(odd.c_str(), 0755), 0);
    InDir in(odd);
    for (const char *cmd : {"printf '%s' %p", "printf '%s' \"%p\"", "printf '%s' '%p'"}) {
        std::string expanded = expand(cmd, "");
        EXPECT_EQ(testkit::sh(expanded).out, odd) << expanded;
    }
}

TEST(ReplaceProgramParms, RefusesWhatCannotBeExpanded) {
    const std::string long_name(TEXT_MAX, 'n');
    struct Case {
        const char *name;
        std::string cmd, ofname;
        bool ok;
    } cases[] = {
        {"exactly 2047", "%o%oa", long_name, true},
        {"2048 from the values", "%o%oab", long_name, false},
        {"2048 literal characters", std::string(EXPAND_BUF, 'a'), "", false},
        {"quoting pushes past the limit", "%o", std::string(1020, ' '), true},
        {"quoting of quotes past the limit", "%o%o", std::string(600, '\''), false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::strcpy(ofname, c.ofname.c_str());
        Block b;
        const std::string err = testkit::stderr_of([&] { b.reset(replace_program_parms(c.cmd.c_str())); });
        if (c.ok) {
            ASSERT_NE(b, nullptr);
            EXPECT_EQ(err, "");
        } else {
            EXPECT_EQ(b, nullptr);
            EXPECT_EQ(err, "kivra: cannot expand command \"" + c.cmd + "\": result longer than 2047 characters\n");
        }
    }
}

TEST(ReplaceProgramParms, VanishedWorkingDirectoryFailsTheExpansion) {
    testkit::TempDir dir;
    const std::string gone = dir.file("gone");
    ASSERT_EQ(mkdir(gone.c_str(), 0755), 0);
    InDir in(gone);
    ASSERT_EQ(rmdir(gone.c_str()), 0);
    std::strcpy(ofname, "f");
    // Without a placeholder for it the directory is not needed.
    Block ok(replace_program_parms("cat > %o"));
    EXPECT_NE(ok, nullptr);
    EXPECT_EQ(testkit::stderr_of([] { EXPECT_EQ(replace_program_parms("cat > %p/%o"), nullptr); }),
              "kivra: cannot expand command \"cat > %p/%o\": cannot get the working directory: "
              "No such file or directory\n");
}

}  // namespace
