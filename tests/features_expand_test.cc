// Placeholder expansion in the archive's shell commands: exact texts where the
// values are plain, the shell reading exactly the value in every context
// (checked by letting /bin/sh and bash run the result), and refusal of what
// cannot be expanded.
#include <gtest/gtest.h>

#include <cstdio>
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

// Plain values go in unchanged; the command's own text stays as it is.
TEST(ReplaceProgramParms, ExactTexts) {
    testkit::TempDir dir;  // /tmp/kivra-test-XXXXXX: only characters the shell takes literally
    InDir in(dir.path());
    const std::string d = dir.path();
    struct Case {
        std::string cmd, name, expect;
    } cases[] = {
        {"cat > %p/%o", "f.tar", "cat > " + d + "/f.tar"},
        {"cat > %o", "", "cat > ''"},  // an empty value still makes a word
        {"cat > x%o", "", "cat > x"},
        {"100%", "x", "100%"},
        {"date +%Y-%m", "x", "date +%Y-%m"},
        {"", "x", ""},
        {"%%o", "x", "%%o"},
        {"%x%", "x", "%x%"},
        {"cp %o %o.bak", "a-b_c,d:e@f=g+h%i", "cp a-b_c,d:e@f=g+h%i a-b_c,d:e@f=g+h%i.bak"},
        {"cat > %o", "my file.tar", "cat > 'my file.tar'"},
        {"echo \"$x%o\" `echo $y`", "z", "echo \"${x}z\" `echo $y`"},
    };
    for (const Case &c : cases) EXPECT_EQ(expand(c.cmd, c.name), c.expect) << c.cmd << " / " << c.name;
}

bool never(const std::string &) { return false; }
bool always(const std::string &) { return true; }
bool line_break(const std::string &v) { return v.find('\n') != std::string::npos; }
bool line_break_or_delimiter(const std::string &v) { return line_break(v) || v == "EOF"; }

// Every value in every context: the shell must read exactly the value and run
// nothing else, or the expansion must be refused where that is expected.
TEST(ReplaceProgramParms, ShellReadsExactlyTheValue) {
    struct Context {
        const char *cmd;
        const char *out;  // what the command prints, %o standing for the value, %p for the directory
        bool (*refused)(const std::string &value);
        const char *bash_out = nullptr;  // where bash prints something else
    } contexts[] = {
        {"printf '[%s]' %o", "[%o]", never},
        {"printf '[%s]' x%o\"y\" '<%o>'", "[x%oy][<%o>]", never},
        {"printf '[%s]' \"<%o>\" %o-%o", "[<%o>][%o-%o]", never},
        {"printf '[%s]' x\\%o \"\\%o\" $%o \"$%o\"", "[x%o][\\%o][$%o][$%o]", never},
        {"x=X; printf '[%s]' $x%o \"$x%o\" ~%o x=~%o", "[X%o][X%o][~%o][x=~%o]", never},
        {"printf '[%s]' %p/%o \"%p\" '%p'", "[%p/%o][%p][%p]", never},
        {"printf '[%s]' \"it's\" 'say \"' \\' \"\\\"%o\" '%' %o", "[it's][say \"]['][\"%o][%][%o]", never},
        {"printf '[%s]' {x,%o}", "[{x,%o}]", never, "[x][%o]"},
        {"x=; printf '[%s]' \"`printf %s \"x\" %o '%o'`\" \"${x:-\"x\"%o}\" \"%o\"'%o'%o", "[x%o%o][x%o][%o%o%o]", never},
        {"cat <<EOF\n`printf %s \"%o\"` `printf %s %o`\nEOF", "%o %o\n", line_break},
        {"printf '[%s]' \"$(printf %s \"%o\")\" \"$(printf %s \"$( printf %s %o )\")\"", "[%o][%o]", never},
        {"x=`printf %s %o`; printf '[%s]' \"$x\" \"`printf %s \"%o\"`\"", "[%o][%o]", never},
        {"printf '[%s]' \"`printf %s \\\"\\`printf %s '%o'\\`\\\"`\"", "[%o]", never},
        {"x=; printf '[%s]' ${x:-%o} \"${x:-%o}\" \"${x:-\"%o\"}\"", "[%o][%o][%o]", never},
        {"# don't worry\nprintf '[%s]' %o # about %o", "[%o]", line_break},
        {"cat <<EOF; printf '[%s]' %o\n[%o][\\%o][$%o]\nEOF\n", "[%o][\\%o][$%o]\n[%o]", line_break},
        {"cat <<'EOF'\n['%o\"]\nEOF", "['%o\"]\n", line_break},
        {"cat <<-EOF\n\t%o\n\t$(printf %s \"%o\")\n\tEOF", "%o\n%o\n", line_break_or_delimiter},
        {"printf '[%s]' $((1+%o))", "", always},
        {"printf '[%s]' $[%o]", "", always},
        {"x=1; ((x+%o)); [[ $x -eq %o ]]", "", always},
        {"[[ $x -eq %o ]]", "", always},
        {"printf '[%s]' ${x%o} ${x#%o} $'%o'", "", always},
        {"cat <<%o\n%o\n", "", always},
        {"printf '[%s]' \"$(case a in a) printf %s %o;; esac)\"", "", always},
    };
    const std::string values[] = {
        "plain.tar", "root", "", "a b;touch PWNED", "$(touch PWNED)", "`touch PWNED`", "x|touch PWNED&",
        "$HOME", "'", "\"", "\\", "end\\", "a'b\"c`d$e\\f", "new\nline", "tab\tx", "*?[a]", "~", "{a,b}",
        "-n", "%o", "<>()#!^\\}", "#x", "x=1,y", "EOF",
    };
    std::vector<std::string> shells{"/bin/sh"};
    if (access("/bin/bash", X_OK) == 0) shells.push_back("/bin/bash");
    else std::printf("bash not found at /bin/bash: checked with /bin/sh only\n");

    testkit::TempDir scratch;
    const std::string cwd = scratch.file("it's a \"dir\" $x {b,c}");
    ASSERT_EQ(mkdir(cwd.c_str(), 0755), 0);
    const std::string pwned = cwd + "/PWNED";
    InDir in(cwd);
    testkit::RunOptions opts;
    opts.cwd = cwd;
    for (const Context &ctx : contexts) {
        for (const std::string &v : values) {
            SCOPED_TRACE(std::string("command: ") + ctx.cmd + "\nvalue: " + v);
            std::strcpy(ofname, v.c_str());
            testing::internal::CaptureStderr();
            Block b(replace_program_parms(ctx.cmd));
            const std::string err = testing::internal::GetCapturedStderr();
            if (ctx.refused(v)) {
                EXPECT_EQ(b, nullptr);
                EXPECT_EQ(err.rfind("kivra: cannot expand command \"", 0), 0u) << err;
                EXPECT_EQ(err.find('\n'), err.size() - 1) << err;  // one line
                EXPECT_NE(err.find("\": %o "), std::string::npos) << err;
                continue;
            }
            ASSERT_NE(b, nullptr) << err;
            for (const std::string &sh : shells) {
                std::string expect;
                const char *out = ctx.bash_out != nullptr && sh == "/bin/bash" ? ctx.bash_out : ctx.out;
                for (const char *p = out; *p != '\0'; p++) {
                    if (p[0] == '%' && (p[1] == 'o' || p[1] == 'p')) expect += *++p == 'o' ? v : cwd;
                    else expect += *p;
                }
                testkit::RunResult r = testkit::run({sh, "-c", b.get()}, opts);
                EXPECT_EQ(r.out, expect) << sh << " ran: " << b.get();
                EXPECT_EQ(r.err, "") << sh << " ran: " << b.get();
                EXPECT_EQ(access(pwned.c_str(), F_OK), -1) << sh << " ran: " << b.get();
                std::remove(pwned.c_str());
            }
        }
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
