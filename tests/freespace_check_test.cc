// The free-space check on real directories of one filesystem:
// the feature values it accepts, the -t link with the fixed path cleared
// without a shell, the mount-table search, the no-room report and the
// over-long texts. "No room" is a request larger than any disk; filesystems
// that really differ in room are exercised end to end in freespace_mounts.
#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "kivra.h"
#include "ss.h"
#include "testkit.h"

namespace {

using testkit::TempDir;

constexpr int kNoRoom = INT_MAX;  // megabytes no filesystem has

struct Outcome {
    int result;
    std::string sym_path;
    std::string err;
};

bool is_dir(const std::string &p) {
    struct stat sb;
    return lstat(p.c_str(), &sb) == 0 && S_ISDIR(sb.st_mode);
}
bool exists(const std::string &p) {
    struct stat sb;
    return lstat(p.c_str(), &sb) == 0;
}
std::string link_target(const std::string &p) {
    char buf[PATH_MAX];
    ssize_t n = readlink(p.c_str(), buf, sizeof buf);
    return n < 0 ? "" : std::string(buf, static_cast<size_t>(n));
}

std::string report(const std::string &fullpath, int mb, const std::string &fs) {
    return fullpath + ": not enough space to extract the archive.\n" + "Please make at least " +
           std::to_string(mb) + "Mb available in " + fs + ".\n" +
           "Alternatively, you can make space available on another filesystem where a\n"
           "\"qm\" directory can be created. Ensure that the \"qm\" directory\n"
           "does not exist before trying again.\n";
}

class VerifyFs : public ::testing::Test {
protected:
    void SetUp() override {
        progname = const_cast<char *>("kivra");
        verbose = 0;
        quiet = 0;
        uncompress_dir[0] = '\0';
        mkdir(tmp.file("vfy").c_str(), 0755);
        testkit::write_file(tmp.file("mtab"), "");
        ss_setmnttab(tmp.file("mtab").c_str());
        ASSERT_NE(getcwd(old_cwd, sizeof old_cwd), nullptr);
        old_umask = umask(077);
    }
    void TearDown() override {
        remove_extraction_link();
        ss_setmnttab(nullptr);
        features[0] = uncompress_dir[0] = '\0';
        umask(old_umask);
        EXPECT_EQ(chdir(old_cwd), 0);
    }
    void set_features(const std::string &f) { std::snprintf(features, sizeof features, "%s", f.c_str()); }
    void set_t(const std::string &d) { std::snprintf(uncompress_dir, sizeof uncompress_dir, "%s", d.c_str()); }
    // Mount table of this test: one "tmpfs <dir> tmpfs <opts>" line per entry.
    void set_table(const std::vector<std::pair<std::string, std::string>> &entries) {
        std::string text;
        for (const auto &[dir, opts] : entries) text += "tmpfs " + dir + " tmpfs " + opts + " 0 0\n";
        testkit::write_file(tmp.file("mtab"), text);
    }
    Outcome check(int min_mb) {
        char sym[512] = {};
        int r = 0;
        std::string err = testkit::stderr_of([&] { r = verify_fs(min_mb, sym); });
        return {r, sym, err};
    }
    std::string vfy() const { return tmp.file("vfy"); }
    std::string fixed() const { return tmp.file("vfy/qm"); }

    TempDir tmp;
    char old_cwd[PATH_MAX];
    mode_t old_umask;
};

// Silent either way: incomplete features fail, room (or a place that cannot
// be queried) needs no link.
TEST_F(VerifyFs, IncompleteFeaturesFailRoomNeedsNoLink) {
    const std::pair<std::string, bool> cases[] = {
        {"", false},
        {"FSSUB=qm", false},
        {"VFYFS=" + vfy(), false},
        {"VFYFS=" + vfy() + ",FSSUB=q", false},
        {"VFYFS=/,FSSUB=qm", false},
        {"VFYFS=" + vfy() + ",FSSUB=", false},
        {"VFYFS=" + vfy() + ",FSSUB=qm", true},
        {"NAME=x,VFYFS=" + vfy() + "/,FSSUB=qm,NOCOMPR", true},  // one trailing '/' is dropped
        {"VFYFS=" + tmp.file("absent") + ",FSSUB=qm", true},       // cannot be queried: counts as room
    };
    for (const auto &[l, ok] : cases) {
        set_features(l);
        Outcome o = check(1);
        EXPECT_EQ(o.result != 0, ok) << l;
        EXPECT_EQ(o.err, "") << l;
        EXPECT_EQ(o.sym_path, "") << l;
        EXPECT_FALSE(exists(fixed())) << l;
    }
}

TEST_F(VerifyFs, ExistingExtractionDirectoryFails) {
    mkdir(fixed().c_str(), 0755);
    const std::string exists_msg = ": extraction directory exists!\nPlease remove it first then try again.\n";
    struct Case {
        std::string features, cwd, t;
    } cases[] = {
        {"VFYFS=" + vfy() + ",FSSUB=qm", "", ""},
        {"VFYFS=vfy,FSSUB=qm", tmp.path(), ""},  // named in absolute form
        {"VFYFS=/elsewhere,FSSUB=qm", "", vfy()},
    };
    for (const Case &c : cases) {
        set_features(c.features);
        set_t(c.t);
        if (!c.cwd.empty()) {
            ASSERT_EQ(chdir(c.cwd.c_str()), 0);
        }
        Outcome o = check(1);
        EXPECT_EQ(o.result, 0) << c.features;
        EXPECT_EQ(o.err, fixed() + exists_msg) << c.features;
    }
}

TEST_F(VerifyFs, NoRoomAnywhereReports) {
    set_features("VFYFS=" + vfy() + ",FSSUB=qm");
    mkdir(tmp.file("m1").c_str(), 0755);
    set_table({{tmp.file("m1"), "rw"}, {tmp.file("absent"), "rw"}});
    Outcome o = check(kNoRoom);
    EXPECT_EQ(o.result, 0);
    EXPECT_EQ(o.err, fixed() + ": not enough space. Looking for space in other filesystems.\n" +
                         report(fixed(), kNoRoom, vfy()));
    EXPECT_FALSE(exists(tmp.file("m1/qm")));
}

TEST_F(VerifyFs, TDirectoryWithoutRoomReportsWithoutSearch) {
    set_features("VFYFS=" + vfy() + ",FSSUB=qm");
    mkdir(tmp.file("big").c_str(), 0755);
    set_t(tmp.file("big") + "/");
    Outcome o = check(kNoRoom);
    EXPECT_EQ(o.result, 0);
    EXPECT_EQ(o.err, report(tmp.file("big/qm"), kNoRoom, vfy()));
    EXPECT_STREQ(uncompress_dir, tmp.file("big").c_str());  // its trailing '/' went
}

TEST_F(VerifyFs, TRootCountsAsNotGiven) {
    set_features("VFYFS=" + vfy() + ",FSSUB=qm");
    set_t("/");
    Outcome o = check(1);
    EXPECT_NE(o.result, 0);
    EXPECT_EQ(o.sym_path, "");
    EXPECT_STREQ(uncompress_dir, "");
}

// What stands at the fixed path before a -t link is made there.
enum class Occupant { nothing, dangling_link, dir_link, file, empty_dir };

TEST_F(VerifyFs, TLinkReplacesLinksFilesAndEmptyDirectories) {
    const Occupant occupants[] = {Occupant::nothing, Occupant::dangling_link, Occupant::dir_link,
                                  Occupant::file, Occupant::empty_dir};
    set_features("VFYFS=" + vfy() + ",FSSUB=qm");
    mkdir(tmp.file("other").c_str(), 0755);
    for (Occupant occ : occupants) {
        SCOPED_TRACE(static_cast<int>(occ));
        TempDir big;
        set_t(big.file("new"));  // made on the way, also with mode 0755
        switch (occ) {
            case Occupant::nothing: break;
            case Occupant::dangling_link: ASSERT_EQ(symlink("/nonexistent/qm", fixed().c_str()), 0); break;
            case Occupant::dir_link: ASSERT_EQ(symlink(tmp.file("other").c_str(), fixed().c_str()), 0); break;
            case Occupant::file: testkit::write_file(fixed(), "x"); break;
            case Occupant::empty_dir: ASSERT_EQ(mkdir(fixed().c_str(), 0700), 0); break;
        }
        Outcome o = check(1);
        EXPECT_NE(o.result, 0);
        EXPECT_EQ(o.err, "");
        EXPECT_EQ(o.sym_path, fixed());
        EXPECT_EQ(link_target(fixed()), big.file("new/qm"));
        for (const char *made : {"new", "new/qm"}) {
            struct stat sb;
            ASSERT_EQ(stat(big.file(made).c_str(), &sb), 0);
            EXPECT_EQ(sb.st_mode & 07777, 0755u);  // despite the umask of 077
        }
        EXPECT_TRUE(is_dir(tmp.file("other")));  // a link's target is never touched

        remove_extraction_link();
        EXPECT_FALSE(exists(fixed()));
        EXPECT_TRUE(is_dir(big.file("new/qm")));  // the extraction directory stays
    }
}

// The lock is a file of the user's own beside the fixed path while the check
// holds it, and gone after; a link or a file with room for others in its place
// is refused, never used.
TEST_F(VerifyFs, LockIsOwnFileBesideTheFixedPath) {
    set_features("VFYFS=" + vfy() + ",FSSUB=qm");
    ASSERT_NE(check(1).result, 0);
    const std::string lock = testkit::sh("ls -A " + vfy()).out;
    ASSERT_EQ(lock.substr(0, 7), ".kivra-");
    const std::string path = vfy() + "/" + lock.substr(0, lock.size() - 1);
    EXPECT_EQ(testkit::sh("stat -c %a " + path).out, "600\n");
    remove_extraction_link();
    EXPECT_EQ(testkit::sh("ls -A " + vfy()).out, "");
    const std::string planted[] = {"ln -s /nowhere " + path, "touch " + path + " && chmod 644 " + path};
    const std::string reasons[] = {"Too many levels of symbolic links", "Operation not permitted"};
    for (int i = 0; i < 2; i++) {
        testkit::sh("rm -f " + path + " && " + planted[i]);
        Outcome o = check(1);
        EXPECT_EQ(o.result, 0);
        EXPECT_EQ(o.err, "kivra: cannot lock " + path + ": " + reasons[i] + "\n");
    }
}

TEST_F(VerifyFs, TLinkLeavesNonEmptyDirectoryAlone) {
    set_features("VFYFS=" + vfy() + ",FSSUB=qm");
    mkdir(tmp.file("big").c_str(), 0755);
    set_t(tmp.file("big"));
    mkdir(fixed().c_str(), 0755);
    testkit::write_file(fixed() + "/installed", "keep");
    mkdir(tmp.file("m1").c_str(), 0755);
    set_table({{tmp.file("m1"), "rw"}});
    Outcome o = check(1);
    EXPECT_EQ(o.result, 0);
    EXPECT_EQ(o.err, fixed() + ": extraction directory exists!\nPlease remove it first then try again.\n");
    EXPECT_EQ(testkit::read_file(fixed() + "/installed"), "keep");
    EXPECT_FALSE(exists(tmp.file("big/qm")));  // the fresh directory is taken back
    EXPECT_FALSE(exists(tmp.file("m1/qm")));
}

TEST_F(VerifyFs, SearchSkipsReadOnlyUnqueryableAndExisting) {
    // A relative -t directory is refused; the search follows.
    set_features("VFYFS=" + vfy() + ",FSSUB=qm");
    ASSERT_EQ(chdir(tmp.path().c_str()), 0);
    set_t("rel");
    for (const char *d : {"ro", "m1", "m2"}) mkdir(tmp.file(d).c_str(), 0755);
    mkdir(tmp.file("m1/qm").c_str(), 0755);
    set_table({{tmp.file("ro"), "nosuid,ro"},
               {tmp.file("absent"), "rw"},
               {tmp.file("m1"), "rw"},
               {tmp.file("m2"), "rw,errors=remount-ro"}});
    Outcome o = check(1);
    EXPECT_NE(o.result, 0);
    EXPECT_EQ(o.err, "rel/qm: Invalid argument\n"
                     "Trying " + tmp.file("m1") + " ...\n" +
                     tmp.file("m1/qm") + ": already exists.\n" +
                     "Trying " + tmp.file("m2") + " ...\n");
    EXPECT_EQ(o.sym_path, fixed());
    EXPECT_EQ(link_target(fixed()), tmp.file("m2/qm"));
    EXPECT_FALSE(exists(tmp.file("ro/qm")));
    EXPECT_FALSE(exists(tmp.file("rel")));
}

TEST_F(VerifyFs, RelativeVfyfsLinksAtRelativePath) {
    ASSERT_EQ(chdir(tmp.path().c_str()), 0);
    set_features("VFYFS=vfy,FSSUB=qm");
    mkdir(tmp.file("big").c_str(), 0755);
    set_t(tmp.file("big"));
    Outcome o = check(1);
    EXPECT_NE(o.result, 0);
    EXPECT_EQ(o.sym_path, "vfy/qm");
    EXPECT_EQ(link_target(fixed()), tmp.file("big/qm"));
}

TEST_F(VerifyFs, OverlongTextsFailWithOneLine) {
    // A working directory deep enough that it plus a relative VFYFS passes 511.
    std::string deep = tmp.path();
    while (deep.size() < 480) {
        deep += "/" + std::string(60, 'd');
        ASSERT_EQ(mkdir(deep.c_str(), 0755), 0);
    }
    struct Case {
        std::string features, cwd, t;
        std::string err;
    } cases[] = {
        {"VFYFS=/" + std::string(127, 'v') + ",FSSUB=qm", "", "", "kivra: VFYFS value too long\n"},
        // Longer than one feature word can be: never cut to a shorter directory name.
        {"VFYFS=" + vfy() + ",FSSUB=" + std::string(300, 's'), "", "", "kivra: FSSUB value too long\n"},
        {"FSSUB=qm,VFYFS=/" + std::string(300, 'v'), "", "", "kivra: VFYFS value too long\n"},
        {"VFYFS=" + std::string(60, 'v') + ",FSSUB=qm", deep, "", "kivra: path too long: " + deep + "/...\n"},
        {"VFYFS=" + vfy() + ",FSSUB=qm", "", std::string(520, 'x'),
         "kivra: path too long: " + std::string(520, 'x') + "/...\n"},
    };
    for (const Case &c : cases) {
        set_features(c.features);
        set_t(c.t);
        if (!c.cwd.empty()) {
            ASSERT_EQ(chdir(c.cwd.c_str()), 0);
        }
        Outcome o = check(1);
        EXPECT_EQ(o.result, 0) << c.err;
        EXPECT_EQ(o.err, c.err);
        ASSERT_EQ(chdir(old_cwd), 0);
    }
    // 127 characters still fit (and, not existing, count as having room).
    set_features("VFYFS=/" + std::string(126, 'v') + ",FSSUB=qm");
    set_t("");
    EXPECT_NE(check(1).result, 0);
}

TEST_F(VerifyFs, LongCandidateIsRefused) {
    // -t path plus FSSUB over 254 characters: refused, then searched.
    std::string t = tmp.path();
    while (t.size() < 252) {
        t += "/" + std::string(40, 't');
        t.resize(std::min<size_t>(t.size(), 252));
        ASSERT_EQ(mkdir(t.c_str(), 0755), 0);
    }
    set_features("VFYFS=" + vfy() + ",FSSUB=qm");
    set_t(t);
    Outcome o = check(1);
    EXPECT_EQ(o.result, 0);
    EXPECT_EQ(o.err, t + "/qm: File name too long\n" + report(t + "/qm", 1, vfy()));
}

}  // namespace
