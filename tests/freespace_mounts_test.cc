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

using testkit::shq;

struct NsResult {
    int status = -1;
    std::string out, err;
    std::string tree;   // every path under the mounted filesystems afterwards
    std::string probe;  // what the run program saw
    bool link_after = false;
};

class MountedFs : public ::testing::Test {
protected:
    void SetUp() override {
        testkit::RunResult probe = testkit::sh(
            "unshare -m --propagation private sh -c " + shq("mount -t tmpfs -o size=64k tmpfs " + shq(tmp.path())));
        if (probe.status != 0) GTEST_SKIP() << "cannot mount in a private namespace here: " << probe.err;
        T = tmp.path();
        for (const char *d : {"small", "room", "room2", "ro", "work"}) mkdir(tmp.file(d).c_str(), 0755);
        tar = testkit::make_payload(T);
    }

    std::string banner() const { return "\nTest installer\n\nPlease wait...\n"; }
    std::string looking(const std::string &fs) const {
        return T + "/" + fs + "/qm: not enough space. Looking for space in other filesystems.\n";
    }
    std::string trying(const std::string &fs) const { return "Trying " + T + "/" + fs + " ...\n"; }
    // The report when no filesystem had room: what it asks for on fs.
    std::string no_room(const std::string &fs, const std::string &megs) const {
        return T + "/" + fs + "/qm: not enough space to extract the archive.\n" + "Please make at least " + megs +
               " available in " + T + "/" + fs + ".\n" +
               "Alternatively, you can make space available on another filesystem where a\n"
               "\"qm\" directory can be created. Ensure that the \"qm\" directory\n"
               "does not exist before trying again.\n";
    }

    // Installer whose extract command unpacks into <vfyfs>/qm and whose run
    // program reports whether that fixed path is a link, and where to.
    void build(const std::string &vfyfs, std::vector<std::string> extra = {}, const std::string &input = "") {
        const std::string fixed = T + "/" + vfyfs + "/qm";
        testkit::write_file(tmp.file("probe.sh"), "if [ -L " + fixed + " ]; then echo \"link -> $(readlink " +
                                                      fixed + ")\"; else echo no link; fi > " + T + "/probe\n");
        std::vector<std::string> opts{"-C", "Test installer", "-V", T + "/" + vfyfs, "-S", "qm",
                                      "-f", "mkdir -p " + fixed + " && tar xf - -C " + fixed,
                                      "-r", "sh " + T + "/probe.sh"};
        opts.insert(opts.end(), extra.begin(), extra.end());
        testkit::build_archive(opts, input.empty() ? tar : input, tmp.file("work/inst"));
    }

    // Mount-table lines for the given filesystems under T.
    std::string table(std::initializer_list<const char *> entries) const {
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
            setup +
            // /etc/mtab, as this namespace sees it, becomes the prepared table.
            "mkdir $T/etc-real $T/etc-new\n"
            "mount --bind /etc $T/etc-real\n"
            "for f in $T/etc-real/* $T/etc-real/.[!.]*; do if [ -e \"$f\" ] || [ -L \"$f\" ]; then ln -s \"$f\" "
            "$T/etc-new/; fi; done\n"
            "rm -f $T/etc-new/mtab\ncp $T/mtab $T/etc-new/mtab\n"
            "mount --bind $T/etc-new /etc\n"
            "set +e\ncd $T/work\n" +
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

    std::string unpacked(const std::string &fs) const {
        return fs + "/qm\n" + fs + "/qm/a.txt\n" + fs + "/qm/sub\n" + fs + "/qm/sub/b.txt\n";
    }

    testkit::TempDir tmp;
    std::string T, tar;
};

TEST_F(MountedFs, RoomOnTheTargetNeedsNoLink) {
    build("room");
    NsResult r = run_ns("", table({"ro", "small", "room", "room2"}));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, banner());
    EXPECT_EQ(r.probe, "no link\n");
    EXPECT_EQ(r.tree, unpacked("room"));
}

TEST_F(MountedFs, LinksToFirstWritableFilesystemWithRoom) {
    build("small");
    NsResult r = run_ns("", table({"ro", "gone", "small", "room", "room2"}));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, looking("small") + trying("room") + banner());
    EXPECT_EQ(r.probe, "link -> " + T + "/room/qm\n");
    EXPECT_FALSE(r.link_after);
    EXPECT_EQ(r.tree, unpacked("room"));  // nothing on small, nothing on ro
}

TEST_F(MountedFs, ExistingCandidateIsSkipped) {
    build("small");
    NsResult r = run_ns("", table({"small", "room", "room2"}), "mkdir $T/room/qm\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, looking("small") + trying("room") + T + "/room/qm: already exists.\n" + trying("room2") +
                         banner());
    EXPECT_EQ(r.probe, "link -> " + T + "/room2/qm\n");
    EXPECT_FALSE(r.link_after);
    EXPECT_EQ(r.tree, "room/qm\n" + unpacked("room2"));
}

TEST_F(MountedFs, NoRoomAnywhereReports) {
    build("small");
    NsResult r = run_ns("", table({"ro", "gone", "small"}));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, looking("small") + no_room("small", "1Mb"));
    EXPECT_EQ(r.probe, "");
    EXPECT_EQ(r.tree, "");
}

TEST_F(MountedFs, TDirectoryWithRoomGetsTheLink) {
    build("small");
    NsResult r = run_ns("-t " + T + "/room/", table({"room2"}));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, banner());
    EXPECT_EQ(r.probe, "link -> " + T + "/room/qm\n");
    EXPECT_FALSE(r.link_after);
    EXPECT_EQ(r.tree, unpacked("room"));
}

TEST_F(MountedFs, TDirectoryWithoutRoomFallsBackToTarget) {
    build("room");
    NsResult r = run_ns("-t " + T + "/small", table({"room2"}));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, banner());
    EXPECT_EQ(r.probe, "no link\n");
    EXPECT_EQ(r.tree, unpacked("room"));
}

TEST_F(MountedFs, TDirectoryAndTargetWithoutRoomReportWithoutSearch) {
    build("small");
    NsResult r = run_ns("-t " + T + "/small", table({"room2"}));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, no_room("small", "1Mb"));
    EXPECT_EQ(r.tree, "");
}

TEST_F(MountedFs, TDirectoryNeverReplacesAnInstalledTree) {
    build("small");
    NsResult r = run_ns("-t " + T + "/room", table({"room2"}), "mkdir $T/small/qm\necho keep > $T/small/qm/keep\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, T + "/small/qm: extraction directory exists!\nPlease remove it first then try again.\n");
    EXPECT_EQ(r.tree, "small/qm\nsmall/qm/keep\n");
}

TEST_F(MountedFs, VerboseLinkPromptDeclinedThenAccepted) {
    build("small");
    NsResult r = run_ns("-v", table({"small", "room", "room2"}), "", "No\n\n");
    EXPECT_EQ(r.status, 0);
    auto prompt = [&](const std::string &fs) {
        return "Creating temporary link to " + T + "/" + fs + "/qm\nOK to create temporary link? [y]: ";
    };
    EXPECT_EQ(r.err, looking("small") + trying("room") + prompt("room") + trying("room2") + prompt("room2") +
                         banner() + "Deflating payload.tar...\n");
    EXPECT_EQ(r.out, "This archive requires more processing using the following command:\n    sh " + T +
                         "/probe.sh\nbut stdin is not a terminal. So forget it.\n");
    EXPECT_FALSE(r.link_after);
    EXPECT_EQ(r.tree, unpacked("room2"));
}

TEST_F(MountedFs, FatalDecodingErrorStillRemovesTheLink) {
    // Unchecked (-s), the whole member reaches tar before the CRC check fails;
    // the extractor waits for tar to finish writing through the link before
    // removing it.
    build("small");
    std::string bad = testkit::read_file(tmp.file("work/inst"));
    bad[bad.size() - 8] = static_cast<char>(bad[bad.size() - 8] ^ 1);  // the member's CRC
    testkit::write_file(tmp.file("work/inst"), bad, 0755);
    NsResult r = run_ns("-s", table({"small", "room"}));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, looking("small") + trying("room") + banner() + "\n./inst: ./inst: invalid compressed data--crc error\n");
    EXPECT_EQ(r.probe, "");
    EXPECT_EQ(r.tree, unpacked("room"));
    EXPECT_FALSE(r.link_after);
}

// A payload of 4 GiB and more: its size field holds the total mod 2^32 (here
// the tar file's few KiB, which the 4 MB filesystem has room for); the exact
// total that the trailer records is what the check asks for.
TEST_F(MountedFs, RecordedTotalFrom4GiBIsAskedFor) {
    const long long tar_size = static_cast<long long>(testkit::read_file(tar).size());
    build("room", {"-F", "TOTALSIZE=" + std::to_string((1LL << 32) + tar_size)});
    NsResult r = run_ns("", table({"small", "room"}));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, looking("room") + no_room("room", "4097Mb"));
    EXPECT_EQ(r.tree, "");
}

TEST_F(MountedFs, RawPayloadAsksForItsOwnLength) {
    // 1.5 MB of raw data ending in four zero bytes: read as a size they would
    // ask for 1 MB, which the 1.5 MB filesystem has; the payload needs 2.
    std::string data(1536 * 1024, 'r');
    data.replace(data.size() - 4, 4, std::string(4, '\0'));
    testkit::write_file(tmp.file("data.bin"), data);
    const std::string fixed = T + "/small/qm";
    testkit::build_archive({"-a", "-C", "Test installer", "-V", T + "/small", "-S", "qm", "-f",
                                "mkdir -p " + fixed + " && cat > " + fixed + "/%o"},
                               tmp.file("data.bin"), tmp.file("work/inst"));
    NsResult r = run_ns("", table({"small", "room"}), "", "", "1536k");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, looking("small") + trying("room") + banner());
    EXPECT_EQ(r.tree, "room/qm\nroom/qm/data.bin\n");
}

}  // namespace
