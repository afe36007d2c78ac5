// The temporary link and its lock against other users: an installer run by an
// unprivileged user (uid 65534) in a private mount namespace, on a stage of
// small tmpfs filesystems that another user (uid 4242) owns, may write to, or
// may change while the user is asked. Each case: the exact messages and exit
// status, and what lies where the other user could have chosen afterwards.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include "extract_kit.h"
#include "testkit.h"

namespace {

using testkit::shq;

// Stage S (a tmpfs, root's, 0755): vfy (the user's, no room: the fixed path
// is vfy/qm), room (root's, sticky, with room), att (another user's, sticky),
// open (writable by all, no sticky bit).
constexpr const char *kStage =
    "mount -t tmpfs -o size=8m,mode=0755 tmpfs $S\n"
    "mkdir $S/work $S/io $S/room $S/att $S/open $S/vfy\n"
    "mount -t tmpfs -o size=4m tmpfs $S/room\n"
    "mount -t tmpfs -o size=4m,mode=1777,uid=4242 tmpfs $S/att\n"
    "mount -t tmpfs -o size=4m,mode=0777 tmpfs $S/open\n"
    "mount -t tmpfs -o size=512k,mode=0755,uid=65534 tmpfs $S/vfy\n"
    "cp $T/inst $S/work/inst\nmkfifo $S/io/answer\n";

// Runs the installer as uid 65534, answers from a fifo after `during`, and
// keeps what is left where other users could reach.
constexpr const char *kRun =
    "cd $S/work\n"
    "setpriv --reuid=65534 --regid=65534 --clear-groups timeout 20 ./inst $ARGS < $S/io/answer > $S/io/out "
    "2> $S/io/err &\n"
    "pid=$!\nexec 3> $S/io/answer\n"
    "prompted() { n=0; until grep -q 'link? \\[y\\]: $' $S/io/err; do n=$((n+1)); [ $n -lt 200 ] || return; "
    "sleep 0.1; done; }\n";
constexpr const char *kCollect =
    "echo >&3\nexec 3>&-\nset +e\nwait $pid\necho $? > $T/status\ncp $S/io/err $T/err\n"
    "(cd $S && find room att open -mindepth 1 | sort) > $T/tree\n";

// In args, setup and during $S is the stage; in err, S.
struct Case {
    const char *name;
    std::string args;    // to ./inst
    std::string mtab;    // the one mount point under the stage in the table, if any
    std::string setup;   // shell, as root, before the run
    std::string during;  // shell, as root, while the installer runs
    std::string err;
    int status;
    std::string tree;  // under room, att and open afterwards
};

using testkit::kBanner;
// The report when no place had room, for the extraction directory under base.
std::string no_room(const std::string &base) { return testkit::no_room(base, "1Mb", "S/vfy"); }
const std::string kUnpacked = "room/qm\nroom/qm/a.txt\nroom/qm/sub\nroom/qm/sub/b.txt\n";

const Case kCases[] = {
    // Nothing wrong: no line beyond the banner, though /tmp is read-only and
    // another user holds a lock on the fixed path's directory.
    {"StickyTWithoutTmp", "-t $S/room", "",
     "mount --rbind $T $T\nmount --rbind /tmp /tmp\nmount -o remount,bind,ro /tmp\n"
     "setpriv --reuid=4242 --regid=4242 --clear-groups flock $S/vfy sleep 10 </dev/null >/dev/null 2>&1 &\n",
     "", kBanner, 0, kUnpacked},
    {"TOfAnotherUser", "-t $S/att", "room", "", "",
     "S/att: owned or writable by another user, not used\nTrying S/room ...\n" + kBanner, 0, kUnpacked},
    {"TUnderDirectoryAllMayWrite", "-t $S/open/mine", "", "mkdir $S/open/mine\nchown 65534 $S/open/mine\n", "",
     "S/open: owned or writable by another user, not used\n" + no_room("S/open/mine"), 1, "open/mine\n"},
    {"TIsALink", "-t $S/room/big", "", "ln -s $S/att $S/room/big\nchown -h 4242 $S/room/big\n", "",
     "S/room/big: symbolic link, not followed\n" + no_room("S/room/big"), 1, "room/big\n"},
    // Another user makes the candidate a link to their directory while the
    // user is asked: it now exists, and nothing goes through the link.
    {"CandidateAppearsDuringPrompt", "-v", "room", "",
     "prompted\nln -s $S/att $S/room/qm\nchown -h 4242 $S/room/qm\n",
     "S/vfy/qm: not enough space. Looking for space in other filesystems.\nTrying S/room ...\n"
     "Creating temporary link to S/room/qm\nOK to create temporary link? [y]: S/room/qm: already exists.\n" +
         no_room("S/vfy"),
     1, "room/qm\n"},
};

class LinkOwner : public ::testing::TestWithParam<Case> {};

TEST_P(LinkOwner, RefusesWhatAnotherUserCouldSteer) {
    const Case &c = GetParam();
    testkit::TempDir tmp;
    const std::string T = tmp.path(), S = tmp.file("s");
    testkit::RunResult probe = testkit::sh("unshare -m --propagation private sh -c " +
                                           shq("mount -t tmpfs tmpfs " + shq(T) + " && setpriv --reuid=65534 true"));
    if (probe.status != 0) GTEST_SKIP() << "cannot mount in a private namespace and change user here: " << probe.err;
    chmod(T.c_str(), 0755);  // the unprivileged user passes through
    mkdir(S.c_str(), 0755);
    const std::string fixed = S + "/vfy/qm";
    testkit::build_archive({"-C", "Test installer", "-V", S + "/vfy", "-S", "qm", "-f",
                            "mkdir -p " + fixed + " && tar xf - -C " + fixed},
                           testkit::make_payload(T), tmp.file("inst"));
    testkit::write_file(tmp.file("mtab"), c.mtab.empty() ? "" : "tmpfs " + S + "/" + c.mtab + " tmpfs rw 0 0\n");
    const std::string script = "set -e\nT=" + shq(T) + "\nS=" + shq(S) + "\nARGS=\"" + c.args + "\"\n" + kStage +
                               testkit::swap_mtab("$S", "$T/mtab") + c.setup + kRun + c.during + kCollect;
    testkit::RunResult r = testkit::sh("unshare -m --propagation private sh -c " + shq(script));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(testkit::replaced(testkit::read_file(tmp.file("err")), S, "S"), c.err);
    EXPECT_EQ(std::stoi(testkit::read_file(tmp.file("status"))), c.status);
    EXPECT_EQ(testkit::read_file(tmp.file("tree")), c.tree);
}

INSTANTIATE_TEST_SUITE_P(Cases, LinkOwner, ::testing::ValuesIn(kCases), testkit::CaseName());

}  // namespace
