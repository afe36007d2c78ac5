// find_program: how a program name (argv[0], an archive operand) becomes a path.
#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "kivra.h"
#include "testkit.h"

namespace {

// Sets PATH and the working directory for one case and restores both.
class Scene {
public:
    Scene(const std::optional<std::string> &path_var, const std::string &cwd) : in_(cwd) {
        const char *old = std::getenv("PATH");
        if (old != nullptr) old_path_ = old;
        if (path_var) {
            setenv("PATH", path_var->c_str(), 1);
        } else {
            unsetenv("PATH");
        }
    }
    ~Scene() {
        if (old_path_) setenv("PATH", old_path_->c_str(), 1);
        else unsetenv("PATH");
    }

private:
    std::optional<std::string> old_path_;
    testkit::InDir in_;
};

TEST(FindProgram, ResolvesNamesInOrder) {
    testkit::TempDir dir;
    const std::string a = dir.file("a"), b = dir.file("b"), cwd = dir.file("cwd");
    mkdir(a.c_str(), 0755);
    mkdir(b.c_str(), 0755);
    mkdir(cwd.c_str(), 0755);
    mkdir((a + "/dir").c_str(), 0755);  // a directory is no program
    for (const std::string &f : {a + "/tool", b + "/tool", b + "/only_b", b + "/plain", b + "/dir", cwd + "/here",
                                 cwd + "/tool"})
        testkit::write_file(f, "", 0755);
    testkit::write_file(a + "/plain", "", 0644);  // not executable: skipped on PATH
    testkit::write_file(cwd + "/readable", "", 0644);
    // dir without its leading '/': found only through an empty PATH entry.
    const std::string rooted = dir.path().substr(1) + "/a/tool";

    struct Case {
        const char *name;
        std::optional<std::string> path_var;
        std::string ref;
        std::optional<std::string> expect;  // nullopt: NULL
    } cases[] = {
        {"executable in the working directory", a, "here", "here"},
        {"working directory before PATH", a + ":" + b, "tool", "tool"},
        {"first PATH entry wins", a + ":" + b, "only_b", b + "/only_b"},
        {"non-executable skipped", a + ":" + b, "plain", b + "/plain"},
        {"directory skipped", a + ":" + b, "dir", b + "/dir"},
        {"PATH unset", std::nullopt, "only_b", std::nullopt},
        {"not found anywhere", a + ":" + b, "nothing", std::nullopt},
        {"empty entry means /", "/nonexistent::" + b, rooted, "/" + rooted},
        {"trailing empty entry means /", "/nonexistent:", rooted, "/" + rooted},
        {"absolute path", std::nullopt, a + "/tool", a + "/tool"},
        {"too long for the result buffer", a, std::string(1020, 'x') + "/tool", std::nullopt},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Scene scene(c.path_var, cwd);
        std::string ref = c.ref;
        const char *got = find_program(ref.data());
        EXPECT_EQ(got ? std::optional<std::string>(got) : std::nullopt, c.expect);
    }
}

TEST(FindProgram, DotNamesAreReturnedAsGiven) {
    testkit::TempDir dir;
    testkit::write_file(dir.file("readable"), "", 0644);
    Scene scene(std::nullopt, dir.path());
    for (const char *name : {"./readable", "./missing", "../x", ".hidden"}) {
        std::string ref = name;
        EXPECT_EQ(find_program(ref.data()), ref.data()) << name;
    }
}

}  // namespace
