// Placeholders in the archive's shell commands: every shell a system may use
// as /bin/sh reads exactly the value in every context and runs nothing of it
// (a marker file never appears), what no reference makes safe is refused with
// one line, and the limits hold.
#include <gtest/gtest.h>

#include <algorithm>
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

using testkit::InDir;

// The command that runs and the one the user is shown; the values in the environment.
TEST(ReplaceProgramParms, ReferencesRunValuesShow) {
    testkit::TempDir dir;  // /tmp/kivra-test-XXXXXX: only characters the shell takes literally
    InDir in(dir.path());
    const std::string d = dir.path();
    struct Case {
        std::string cmd, name, run, shown;
    } cases[] = {
        {"cat > %p/%o", "f.tar", "cat > \"${KIVRA_DIR}\"/\"${KIVRA_FILE}\"", "cat > " + d + "/f.tar"},
        {"cat > %o", "my file", "cat > \"${KIVRA_FILE}\"", "cat > 'my file'"},
        {"echo '%o' \"$%o\" \\%o", "a'b", "echo ''\"${KIVRA_FILE}\"'' \"\\$${KIVRA_FILE}\" \"${KIVRA_FILE}\"",
         "echo 'a'\\''b' \"$a'b\" \\'a'\\''b'"},
        {"cat <<'E'\n$%o\\\nE", "x", "cat <<E\n\\$${KIVRA_FILE}\\\\\nE", "cat <<'E'\n$x\\\nE"},
        {"100% date +%Y-%m %%o %x%", "x", "100% date +%Y-%m %%o %x%", "100% date +%Y-%m %%o %x%"},
    };
    for (const Case &c : cases) {
        std::strcpy(ofname, c.name.c_str());
        char *shown = nullptr;
        Block run(replace_program_parms(c.cmd.c_str(), &shown));
        Block show(shown);
        ASSERT_NE(run, nullptr) << c.cmd;
        EXPECT_EQ(std::string(run.get()), c.run);
        EXPECT_EQ(std::string(show.get()), c.shown);
        EXPECT_STREQ(std::getenv("KIVRA_FILE"), c.name.c_str());
        EXPECT_STREQ(std::getenv("KIVRA_DIR"), d.c_str());
    }
}

// Each context and what the command prints, %o standing for the value, %p
// for the directory.
struct Context {
    const char *cmd;
    const char *out;
    const char *brace_out = nullptr;  // where shells with {a,b} expansion print something else
    const char *loose = "";           // shells that read it otherwise: only "nothing ran" is checked
};
const Context kContexts[] = {
    {"printf '[%s]' %o x%o\"y\" '<%o>' \"<%o>\" %o-%o", "[%o][x%oy][<%o>][<%o>][%o-%o]"},
    {"printf '[%s]' x\\%o \"\\%o\" $%o \"$%o\"", "[x%o][\\%o][$%o][$%o]"},
    {"x=X; printf '[%s]' $x%o \"$x%o\" ~%o x=~%o", "[X%o][X%o][~%o][x=~%o]"},
    {"printf '[%s]' %p/%o \"%p\" '%p'", "[%p/%o][%p][%p]"},
    {"printf '[%s]' \"it's\" 'say \"' \\' \"\\\"%o\" '%' %o", "[it's][say \"]['][\"%o][%][%o]"},
    {"printf '[%s]' {x,%o}", "[{x,%o}]", "[x][%o]"},
    {"x=; printf '[%s]' \"`printf %s \"x\" %o '%o'`\" \"${x:-\"x\"%o}\" \"%o\"'%o'%o", "[x%o%o][x%o][%o%o%o]"},
    {"cat <<EOF\n`printf %s \"%o\"` `printf %s %o`\nEOF", "%o %o\n"},
    {"printf '[%s]' \"$(printf %s \"%o\")\" \"$(printf %s \"$( printf %s %o )\")\"", "[%o][%o]"},
    {"x=`printf %s %o`; printf '[%s]' \"$x\" \"`printf %s \\\"\\`printf %s '%o'\\`\\\"`\"", "[%o][%o]"},
    {"x=; printf '[%s]' ${x:-%o} \"${x:-%o}\" \"${x:-\"%o\"}\"", "[%o][%o][%o]"},
    {"# don't worry\nprintf '[%s]' %o # about %o", "[%o]"},
    {"cat <<EOF; printf '[%s]' %o\n[%o][\\%o][$%o]\nEOF\n", "[%o][\\%o][$%o]\n[%o]"},
    {"cat <<'EOF'\n['%o\"]$HOME\\\nEOF", "['%o\"]$HOME\\\n"},
    {"cat <<-EOF\n\t%o\n\t$(printf %s \"%o\")\n\tEOF", "%o\n%o\n"},
    // Continuations the shells remove before reading: "$\<newline>(", "<<\<newline>EOF".
    {"printf '[%s]' \"$\\\n(printf %s %o)\"; cat <<\\\nEOF\n$%o\nEOF", "[%o]$%o\n", nullptr, "zsh"},
    {"printf '[%s]' %o>f; cat f", "[%o]"},  // a value 2 stays a word, never a descriptor
};

const std::string kValues[] = {
    "plain.tar", "", "a b;touch PWNED", "$(touch PWNED)", "`touch PWNED`", "x|touch PWNED&", "$HOME", "'",
    "\"", "\\", "end\\", "a'b\"c`d$e\\f", "new\nline", "tab\tx", "*?[a]", "~", "{a,b}", "-n", "%o", "<>()#!^\\}",
    "#x", "x=1,y", "EOF", "2", "a[$(touch PWNED)]",
    "\xa5$(touch PWNED)", "\xa5\\$(touch PWNED)",  // a Big5 lead byte before '\' or '$'
};

struct Shell {
    const char *name;
    std::vector<std::string> argv;  // then the command
    bool braces = false;            // expands {a,b}
    bool big5 = false;              // run in a Big5 locale
    bool drops_nontext = false;     // drops a value that is no text in its locale
};
const Shell kShells[] = {
    {"sh", {"/bin/sh", "-c"}},
    {"bash", {"/bin/bash", "-c"}, true},
    {"dash", {"/bin/dash", "-c"}},
    {"busybox", {"/bin/busybox", "sh", "-c"}},
    {"mksh", {"/bin/mksh", "-c"}, true},
    {"posh", {"/bin/posh", "-c"}},
    {"yash", {"/usr/bin/yash", "-c"}, false, false, true},
    {"zsh", {"/bin/zsh", "--emulate", "sh", "-c"}},
    {"bash_big5", {"/bin/bash", "-c"}, true, true},
    {"yash_big5", {"/usr/bin/yash", "-c"}, false, true, true},
};

// A Big5 locale compiled into dir (LOCPATH), or a reason why there is none.
std::string make_big5(const std::string &dir) {
    testkit::RunResult r = testkit::run({"localedef", "-i", "zh_TW", "-f", "BIG5", dir + "/zh_TW.BIG5"});
    if (r.status != 0 && r.status != 1) return "localedef failed: " + r.err;  // 1: warnings only
    testkit::RunOptions o;
    o.env = {"LOCPATH=" + dir, "LC_ALL=zh_TW.BIG5"};
    r = testkit::run({"/bin/bash", "-c", "locale charmap"}, o);
    return r.out == "BIG5\n" ? "" : "no Big5 locale: " + r.out + r.err;
}

class ShellReads : public ::testing::TestWithParam<Shell> {};

TEST_P(ShellReads, ExactlyTheValue) {
    const Shell &shell = GetParam();
    if (access(shell.argv[0].c_str(), X_OK) != 0) GTEST_SKIP() << shell.argv[0] << " is not installed";
    testkit::TempDir scratch;
    testkit::RunOptions opts;
    if (shell.big5) {
        const std::string why = make_big5(scratch.path());
        if (!why.empty()) GTEST_SKIP() << why;
        opts.env = {"LOCPATH=" + scratch.path(), "LC_ALL=zh_TW.BIG5"};
    }
    const std::string cwd = scratch.file("it's a \"dir\" $x {b,c}");
    ASSERT_EQ(mkdir(cwd.c_str(), 0755), 0);
    const std::string pwned = cwd + "/PWNED";
    InDir in(cwd);
    opts.cwd = cwd;
    for (const Context &ctx : kContexts) {
        for (const std::string &v : kValues) {
            SCOPED_TRACE(std::string("command: ") + ctx.cmd + "\nvalue: " + v);
            std::strcpy(ofname, v.c_str());
            Block b(replace_program_parms(ctx.cmd));
            ASSERT_NE(b, nullptr);
            std::string expect;
            for (const char *p = shell.braces && ctx.brace_out ? ctx.brace_out : ctx.out; *p != '\0'; p++) {
                if (p[0] == '%' && (p[1] == 'o' || p[1] == 'p')) expect += *++p == 'o' ? v : cwd;
                else expect += *p;
            }
            std::vector<std::string> argv = shell.argv;
            argv.push_back(b.get());
            testkit::RunResult r = testkit::run(argv, opts);
            const bool text = std::all_of(v.begin(), v.end(), [](char c) { return c > 0; }) ||
                              (shell.big5 && v.find("\xa5$") == std::string::npos);
            if (std::strstr(ctx.loose, shell.name) == nullptr && (text || !shell.drops_nontext)) {
                EXPECT_EQ(r.out, expect) << " ran: " << b.get();
                EXPECT_EQ(r.err, "") << " ran: " << b.get();
            }
            EXPECT_EQ(access(pwned.c_str(), F_OK), -1) << " ran: " << b.get();
            std::remove(pwned.c_str());
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Shells, ShellReads, ::testing::ValuesIn(kShells), testkit::CaseName());

// Where a shell would evaluate the value, use it as a name or read it as shell
// text again, or where the shells read the command differently: one line, no
// command. The builder refuses the same commands (extract_run_test).
TEST(ReplaceProgramParms, RefusesWhereAValueCouldRun) {
    const char *arith = "would be evaluated as arithmetic ($((...)), ((...)))";
    const char *again = "would be read as shell text again (eval, trap, alias, ssh, watch)";
    const char *shell = "would be read as shell text again (a shell's -c string or input)";
    const char *name = "would be used as a variable name (read, unset, printf -v)";
    const char *declare = "would be used as a variable name or number (declare, export, local)";
    struct Case {
        const char *cmd, *why;
    } cases[] = {
        {"echo $((1+%o)) $[%o]", arith},
        {"((x+%o))", arith},
        {"[[ $x -eq %o ]]", "would be evaluated as a number or a name ([[ ... ]])"},
        {"[ %o -eq 0 ]", "would be evaluated as a number or a name (test -eq, -v)"},
        {"n[%o]=1", "would be evaluated as arithmetic (an array subscript)"},
        {"let x=%o", "would be evaluated as arithmetic or a name (let)"},
        {"declare -i x=%o", declare},
        {"export %o=1", declare},
        {"declare -i n; n=%o", "is assigned to a variable that the command may use as a number or a name"},
        {"n=%o; echo $((n + 1))", "is assigned to a variable that the command may use as a number or a name"},
        {"read %o", name},
        {"printf -v %o x", name},
        {"shift %o", "would be evaluated as arithmetic (shift, ulimit)"},
        {"eval \"echo $(echo %o)\"", again},
        {"trap \"rm -f %p/.partial\" EXIT", again},
        {"ssh host ls %p", again},
        {"ev\\\nal echo %o", again},
        {"cd /; /bin/sh -c 'cd %p && ls'", shell},
        {"su root -c \"ls %p\"", "would be read as shell text again (-c)"},
        {"find %p -exec sh -c 'echo {}' \\;", shell},
        {"echo %o | sh", shell},
        {"sh <<EOF\necho %o\nEOF", shell},
        {"PS4=%o", "would be read as shell text again (a prompt or ENV variable)"},
        {"echo ${x#%o} ${x:%o}", "cannot stand in the pattern or offset of ${...}"},
        {"echo ${x%o} ${%o}", "cannot stand in the name or operator of ${...}"},
        {"echo $'%o'", "cannot stand inside $'...'"},
        {"cat <<%o\nx", "cannot stand in a here-document delimiter"},
        {"cat <<$'EOF'\n%o\nEOF", "stands in a here-document whose delimiter the shells read differently"},
        {"x=$(cat <<EOF)\n%o\nEOF", "stands after a here-document whose body the shells place differently"},
        {"alias body='cat <<EOF'\nbody\n%o\nEOF", "stands in a command that defines aliases, which change its reading"},
        {"echo \"$(# a)\necho %o)\"", "stands after a comment inside $(...), which the shells end differently"},
        {"echo \"$(case a in a) echo %o;; esac)\"", "stands where the command's reading is unclear (case inside $(...))"},
    };
    for (const Case &c : cases) {
        std::strcpy(ofname, "f");
        Block b;
        const std::string err = testkit::stderr_of([&] { b.reset(replace_program_parms(c.cmd)); });
        EXPECT_EQ(b, nullptr) << c.cmd;
        std::string shown;
        for (const char *p = c.cmd; *p != '\0'; p++) shown += *p == '\n' ? std::string("\\n") : std::string(1, *p);
        const char ph = std::strstr(c.cmd, "%o") != nullptr ? 'o' : 'p';
        EXPECT_EQ(err, "kivra: cannot expand command \"" + shown + "\": %" + ph + " " + c.why + "\n");
    }
}

TEST(ReplaceProgramParms, ShownFormKeepsTheLengthLimit) {
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
        EXPECT_EQ(b != nullptr, c.ok);
        EXPECT_EQ(err, c.ok ? "" : "kivra: cannot expand command \"" + c.cmd + "\": result longer than 2047 characters\n");
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
