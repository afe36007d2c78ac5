// End to end on real small filesystems: in a private mount namespace each
// test mounts tmpfs filesystems (one too small, two with room, one read-only
// with room), puts a prepared mount table in place of /etc/mtab and runs an
// installer that wants to unpack into <fs>/qm. Checked: the messages, where
// the files land, that the link exists while the run program runs and is gone
// afterwards, also after a fatal decoding error.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include "extract_kit.h"
#include "testkit.h"

namespace {

using testkit::kBanner;
using testkit::shq;

struct NsResult {
    int status = -1;
    std::string out, err;
    std::string tree;   // every path under the mounted filesystems afterwards
    std::string probe;  // what the run program saw
    bool link_after = false;
};

// Expected texts; "$T" stands for the scratch directory the filesystems are mounted in.
std::string looking(const std::string &fs) {
    return "$T/" + fs + "/qm: not enough space. Looking for space in other filesystems.\n";
}
std::string trying(const std::string &fs) { return "Trying $T/" + fs + " ...\n"; }
std::string link_to(const std::string &fs) { return "link -> $T/" + fs + "/qm\n"; }
// The report when no filesystem had room: what it asks for on fs.
std::string no_room(const std::string &fs, const std::string &megs) { return testkit::no_room("$T/" + fs, megs, "$T/" + fs); }
std::string unpacked(const std::string &fs) {
    return fs + "/qm\n" + fs + "/qm/a.txt\n" + fs + "/qm/sub\n" + fs + "/qm/sub/b.txt\n";
}
std::string verbose_prompt(const std::string &fs) {
    return "Creating temporary link to $T/" + fs + "/qm\nOK to create temporary link? [y]: ";
}

// How the installer is made: around the tar payload; with the member's CRC
// altered (the whole member reaches tar before the check fails, and the
// extractor waits for tar to finish writing through the link before removing
// it); recording a total of 4 GiB + the tar's size (the size field holds the
// total mod 2^32, which the 4 MB filesystem has room for); or raw, from
// 1.5 MB ending in four zero bytes (read as a size they would ask for 1 MB,
// which the 1.5 MB "small" filesystem has; the payload needs 2).
enum class Made { tar, bad_crc, total_4g, raw };

struct MountCase {
    const char *name;
    const char *target;  // the installer unpacks into $T/<target>/qm
    std::string args;    // of the installer
    std::vector<const char *> table;  // filesystems in the mount table ("gone" is not mounted)
    int status;
    std::string err, probe, tree;
    std::string setup = "";  // shell lines run after mounting
    std::string typed = "", out = "";
    Made made = Made::tar;
};

const MountCase kCases[] = {
    {"RoomOnTheTargetNeedsNoLink", "room", "", {"ro", "small", "room", "room2"}, 0, kBanner, "no link\n",
     unpacked("room")},
    {"LinksToFirstWritableFilesystemWithRoom", "small", "", {"ro", "gone", "small", "room", "room2"}, 0,
     looking("small") + trying("room") + kBanner, link_to("room"), unpacked("room")},
    {"ExistingCandidateIsSkipped", "small", "", {"small", "room", "room2"}, 0,
     looking("small") + trying("room") + "$T/room/qm: already exists.\n" + trying("room2") + kBanner,
     link_to("room2"), "room/qm\n" + unpacked("room2"), "mkdir $T/room/qm\n"},
    {"NoRoomAnywhereReports", "small", "", {"ro", "gone", "small"}, 1, looking("small") + no_room("small", "1Mb"),
     "", ""},
    {"TDirectoryWithRoomGetsTheLink", "small", "-t $T/room/", {"room2"}, 0, kBanner, link_to("room"),
     unpacked("room")},
    {"TDirectoryWithoutRoomFallsBackToTarget", "room", "-t $T/small", {"room2"}, 0, kBanner, "no link\n",
     unpacked("room")},
    {"TDirectoryAndTargetWithoutRoomReportWithoutSearch", "small", "-t $T/small", {"room2"}, 1,
     no_room("small", "1Mb"), "", ""},
    {"TDirectoryNeverReplacesAnInstalledTree", "small", "-t $T/room", {"room2"}, 1,
     "$T/small/qm: extraction directory exists!\nPlease remove it first then try again.\n", "",
     "small/qm\nsmall/qm/keep\n", "mkdir $T/small/qm\necho keep > $T/small/qm/keep\n"},
    {"VerboseLinkPromptDeclinedThenAccepted", "small", "-v", {"small", "room", "room2"}, 0,
     looking("small") + trying("room") + verbose_prompt("room") + trying("room2") + verbose_prompt("room2") +
         kBanner + "Deflating payload.tar...\n",
     "", unpacked("room2"), "", "No\n\n",
     "This archive requires more processing using the following command:\n    sh $T/probe.sh\n"
     "but stdin is not a terminal. So forget it.\n"},
    // Unchecked (-s), the whole member reaches tar before the CRC check fails.
    {"FatalDecodingErrorStillRemovesTheLink", "small", "-s", {"small", "room"}, 1,
     looking("small") + trying("room") + kBanner + "\n./inst: ./inst: invalid compressed data--crc error\n", "",
     unpacked("room"), "", "", "", Made::bad_crc},
    {"RecordedTotalFrom4GiBIsAskedFor", "room", "", {"small", "room"}, 1, looking("room") + no_room("room", "4097Mb"),
     "", "", "", "", "", Made::total_4g},
    {"RawPayloadAsksForItsOwnLength", "small", "", {"small", "room"}, 0, looking("small") + trying("room") + kBanner,
     "", "room/qm\nroom/qm/data.bin\n", "", "", "", Made::raw},
};

class MountedFs : public ::testing::TestWithParam<MountCase> {
protected:
    void SetUp() override {
        testkit::RunResult probe = testkit::sh(
            "unshare -m --propagation private sh -c " + shq("mount -t tmpfs -o size=64k tmpfs " + shq(tmp.path())));
        if (probe.status != 0) GTEST_SKIP() << "cannot mount in a private namespace here: " << probe.err;
        T = tmp.path();
        for (const char *d : {"small", "room", "room2", "ro", "work"}) mkdir(tmp.file(d).c_str(), 0755);
        tar = testkit::make_payload(T);
    }

    // "$T" in text replaced by the scratch directory.
    std::string at_T(const std::string &text) const { return testkit::replaced(text, "$T", T); }

    // The installer of case c: its extract command unpacks into <target>/qm,
    // and its run program reports whether that fixed path is a link, and where to.
    void build(const MountCase &c) {
        const std::string fixed = T + "/" + c.target + "/qm";
        std::vector<std::string> opts{"-C", "Test installer", "-V", T + "/" + c.target, "-S", "qm"};
        if (c.made == Made::raw) {
            std::string data(1536 * 1024, 'r');
            data.replace(data.size() - 4, 4, std::string(4, '\0'));
            testkit::write_file(tmp.file("data.bin"), data);
            opts.insert(opts.end(), {"-a", "-f", "mkdir -p " + fixed + " && cat > " + fixed + "/%o"});
            testkit::build_archive(opts, tmp.file("data.bin"), tmp.file("work/inst"));
            return;
        }
        testkit::write_file(tmp.file("probe.sh"), "if [ -L " + fixed + " ]; then echo \"link -> $(readlink " +
                                                      fixed + ")\"; else echo no link; fi > " + T + "/probe\n");
        opts.insert(opts.end(), {"-f", "mkdir -p " + fixed + " && tar xf - -C " + fixed, "-r", "sh " + T + "/probe.sh"});
        if (c.made == Made::total_4g)
            opts.insert(opts.end(), {"-F", "TOTALSIZE=" + std::to_string((1LL << 32) + testkit::read_file(tar).size())});
        std::string inst = testkit::build_archive(opts, tar, tmp.file("work/inst"));
        if (c.made == Made::bad_crc) {
            inst[inst.size() - 8] = static_cast<char>(inst[inst.size() - 8] ^ 1);  // the member's CRC
            testkit::write_file(tmp.file("work/inst"), inst, 0755);
        }
    }

    // Mount-table lines for the given filesystems under T.
    std::string table(const std::vector<const char *> &entries) const {
        std::string text;
        for (const char *e : entries) {
            std::string opts = std::string(e) == "ro" ? "ro,relatime" : "rw,relatime";
            text += "tmpfs " + T + "/" + e + " tmpfs " + opts + " 0 0\n";
        }
        return text;
    }

    NsResult run_ns(const std::string &args, const std::string &mtab, const std::string &setup = "",
                    const std::string &typed = "", const std::string &small_size = "512k") {
        testkit::write_file(tmp.file("mtab"), mtab);
        testkit::write_file(tmp.file("typed"), typed);
        const std::string t = shq(T);
        std::string script =
            "set -e\nT=" + t + "\n"
            "mount -t tmpfs -o size=" + small_size + " tmpfs $T/small\n"
            "mount -t tmpfs -o size=4m tmpfs $T/room\n"
            "mount -t tmpfs -o size=4m tmpfs $T/room2\n"
            "mount -t tmpfs -o size=4m,ro tmpfs $T/ro\n" +
            setup + testkit::swap_mtab("$T", "$T/mtab") + "set +e\ncd $T/work\n" +
            "./inst " + args + " < $T/typed > $T/out 2> $T/err\necho $? > $T/status\n"
            "for d in small room room2 ro; do (cd $T/$d && find . -mindepth 1 | sort | sed \"s|^\\.|$d|\"); done "
            "> $T/tree\n"
            "if [ -L $T/small/qm ] || [ -L $T/room/qm ]; then echo yes > $T/link_after; fi\n";
        testkit::RunResult r = testkit::sh("unshare -m --propagation private sh -c " + shq(script));
        EXPECT_EQ(r.status, 0) << r.err;
        NsResult n;
        n.status = std::stoi(testkit::read_file(tmp.file("status")));
        n.out = testkit::read_file(tmp.file("out"));
        n.err = testkit::read_file(tmp.file("err"));
        n.tree = testkit::read_file(tmp.file("tree"));
        struct stat sb;
        if (stat(tmp.file("probe").c_str(), &sb) == 0) n.probe = testkit::read_file(tmp.file("probe"));
        n.link_after = stat(tmp.file("link_after").c_str(), &sb) == 0;
        return n;
    }

    testkit::TempDir tmp;
    std::string T, tar;
};

TEST_P(MountedFs, Case) {
    const MountCase &c = GetParam();
    build(c);
    NsResult r = run_ns(at_T(c.args), table(c.table), c.setup, c.typed, c.made == Made::raw ? "1536k" : "512k");
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.err, at_T(c.err));
    EXPECT_EQ(r.out, at_T(c.out));
    EXPECT_EQ(r.probe, at_T(c.probe));
    EXPECT_EQ(r.tree, c.tree);
    EXPECT_FALSE(r.link_after);
}

INSTANTIATE_TEST_SUITE_P(Cases, MountedFs, ::testing::ValuesIn(kCases), testkit::CaseName());

}  // namespace
