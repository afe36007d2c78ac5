// The free-space check on real directories of one filesystem:
// the feature values it accepts, the -t link with the fixed path cleared
// without a shell, the mount-table search, the no-room report and the
// over-long texts. "No room" is a request larger than any disk; filesystems
// that really differ in room are exercised end to end in freespace_mounts.
#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <optional>
#include <string>
#include <vector>
#include <sys/stat.h>
#include <unistd.h>

#include "kivra.h"
#include "ss.h"
#include "extract_kit.h"
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

const std::string kNoRoomMb = std::to_string(kNoRoom) + "Mb";
using testkit::no_room;

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

// One check on prepared directories under the scratch directory; "$T"
// stands for it in every text, and the features name $T/vfy unless a case
// says otherwise.
struct FsCase {
    const char *name;
    std::string features;
    bool ok;                  // verify_fs says the extraction may go on
    std::string err = "";
    std::string sym = "";     // the link it reports having made
    std::string link = "";    // where $T/vfy/qm links to afterwards ("": no link)
    std::string t = "";       // the -t directory
    std::optional<std::string> t_after = {};  // uncompress_dir afterwards
    int min_mb = 1;
    bool in_T = false;        // run in $T
    std::vector<std::string> dirs = {};       // made beforehand
    std::vector<std::pair<std::string, std::string>> files = {};  // made beforehand, must be kept
    std::vector<std::pair<std::string, std::string>> table = {};  // mount table: directory, options
    std::vector<std::string> absent = {};     // must not exist afterwards
};

const std::string kStd = "VFYFS=$T/vfy,FSSUB=qm";
const std::string kExists = "$T/vfy/qm: extraction directory exists!\nPlease remove it first then try again.\n";

const FsCase kFsCases[] = {
    // Incomplete feature lists fail silently.
    {"no features", "", false},
    {"FSSUB only", "FSSUB=qm", false},
    {"VFYFS only", "VFYFS=$T/vfy", false},
    {"FSSUB of one character", "VFYFS=$T/vfy,FSSUB=q", false},
    {"VFYFS of the root", "VFYFS=/,FSSUB=qm", false},
    {"empty FSSUB", "VFYFS=$T/vfy,FSSUB=", false},
    // Room, or a directory that cannot be queried: no link needed.
    {.name = "room", .features = kStd, .ok = true, .absent = {"vfy/qm"}},
    {.name = "one trailing slash dropped", .features = "NAME=x,VFYFS=$T/vfy/,FSSUB=qm,NOCOMPR", .ok = true,
     .absent = {"vfy/qm"}},
    {.name = "unqueryable counts as room", .features = "VFYFS=$T/absent,FSSUB=qm", .ok = true, .absent = {"vfy/qm"}},
    // An existing extraction directory fails.
    {.name = "existing directory", .features = kStd, .ok = false, .err = kExists, .dirs = {"vfy/qm"}},
    {.name = "existing directory, relative VFYFS", .features = "VFYFS=vfy,FSSUB=qm", .ok = false, .err = kExists,
     .in_T = true, .dirs = {"vfy/qm"}},
    {.name = "existing directory, -t", .features = "VFYFS=/elsewhere,FSSUB=qm", .ok = false, .err = kExists,
     .t = "$T/vfy", .dirs = {"vfy/qm"}},
    {.name = "no room anywhere reports", .features = kStd, .ok = false,
     .err = "$T/vfy/qm: not enough space. Looking for space in other filesystems.\n" + no_room("$T/vfy", kNoRoomMb, "$T/vfy"),
     .min_mb = kNoRoom, .dirs = {"m1"}, .table = {{"m1", "rw"}, {"absent", "rw"}}, .absent = {"m1/qm"}},
    {.name = "-t without room reports without search", .features = kStd, .ok = false,
     .err = no_room("$T/big", kNoRoomMb, "$T/vfy"), .t = "$T/big/",
     .t_after = "$T/big", .min_mb = kNoRoom, .dirs = {"big"}},
    {.name = "-t of the root counts as not given", .features = kStd, .ok = true, .t = "/", .t_after = ""},
    {.name = "-t link leaves a non-empty directory alone", .features = kStd, .ok = false, .err = kExists,
     .t = "$T/big", .dirs = {"big", "vfy/qm", "m1"},
     .files = {{"vfy/qm/installed", "keep"}}, .table = {{"m1", "rw"}}, .absent = {"big/qm", "m1/qm"}},
    // A relative -t directory is refused; the search follows.
    {.name = "search skips read-only, unqueryable and existing", .features = kStd, .ok = true,
     .err = "rel/qm: Invalid argument\nTrying $T/m1 ...\n$T/m1/qm: already exists.\nTrying $T/m2 ...\n",
     .sym = "$T/vfy/qm", .link = "$T/m2/qm", .t = "rel", .in_T = true, .dirs = {"ro", "m1", "m2", "m1/qm"},
     .table = {{"ro", "nosuid,ro"}, {"absent", "rw"}, {"m1", "rw"}, {"m2", "rw,errors=remount-ro"}},
     .absent = {"ro/qm", "rel"}},
    {.name = "relative VFYFS links at the relative path", .features = "VFYFS=vfy,FSSUB=qm", .ok = true, .sym = "vfy/qm",
     .link = "$T/big/qm", .t = "$T/big",
     .in_T = true, .dirs = {"big"}},
};

class VerifyFsCase : public VerifyFs, public ::testing::WithParamInterface<FsCase> {
protected:
    std::string at_T(const std::string &text) const { return testkit::replaced(text, "$T", tmp.path()); }
};

TEST_P(VerifyFsCase, Check) {
    const FsCase &c = GetParam();
    for (const std::string &d : c.dirs) ASSERT_EQ(mkdir(tmp.file(d).c_str(), 0755), 0) << d;
    for (const auto &[f, data] : c.files) testkit::write_file(tmp.file(f), data);
    std::vector<std::pair<std::string, std::string>> entries;
    for (const auto &[dir, opts] : c.table) entries.emplace_back(tmp.file(dir), opts);
    set_table(entries);
    set_features(at_T(c.features));
    set_t(at_T(c.t));
    if (c.in_T) {
        ASSERT_EQ(chdir(tmp.path().c_str()), 0);
    }
    Outcome o = check(c.min_mb);
    EXPECT_EQ(o.result != 0, c.ok);
    EXPECT_EQ(o.err, at_T(c.err));
    EXPECT_EQ(o.sym_path, at_T(c.sym));
    EXPECT_EQ(link_target(fixed()), at_T(c.link));
    if (c.t_after) {
        EXPECT_EQ(uncompress_dir, at_T(*c.t_after));
    }
    for (const auto &[f, data] : c.files) EXPECT_EQ(testkit::read_file(tmp.file(f)), data) << f;
    for (const std::string &p : c.absent) EXPECT_FALSE(exists(tmp.file(p))) << p;
}

INSTANTIATE_TEST_SUITE_P(Cases, VerifyFsCase, ::testing::ValuesIn(kFsCases), testkit::CaseName());

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
    EXPECT_EQ(o.err, t + "/qm: File name too long\n" + no_room(t, "1Mb", vfy()));
}

}  // namespace
