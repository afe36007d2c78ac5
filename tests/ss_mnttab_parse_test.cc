// Mount table: entries from a prepared table file, fields cut to their
// widths, "ro" only as a whole option, walk and rewind, lookup by name; the
// machine's own table, and the kernel's where /etc/mtab is missing.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <cstring>
#include <string>

#include "ss.h"
#include "testkit.h"

extern FILE *mtfp;

namespace {

const std::string kLongDev(150, 'd');
const std::string kLongType(40, 't');

struct Entry {
    std::string dev, path, fstype;
    int read_only;
};

std::string table_text() {
    return "/dev/vda / ext4 rw,relatime 0 0\n"
           "tmpfs /mnt/ro tmpfs ro,noatime 0 0\n"
           "tmpfs /mnt/late-ro tmpfs nosuid,noatime,ro 0 0\n"
           "srv:/x /mnt/nfs nfs rosize=8192,rw 0 0\n"
           "/dev/vdb /mnt/remount ext4 rw,errors=remount-ro 0 0\n"
           "# a comment line is skipped\n"
           "tmpfs /mnt/with\\040blank tmpfs rw 0 0\n" +
           kLongDev + " /mnt/long " + kLongType + " ro 0 0\n";
}

const Entry kEntries[] = {
    {"/dev/vda", "/", "ext4", 0},
    {"tmpfs", "/mnt/ro", "tmpfs", 1},
    {"tmpfs", "/mnt/late-ro", "tmpfs", 1},
    {"srv:/x", "/mnt/nfs", "nfs", 0},
    {"/dev/vdb", "/mnt/remount", "ext4", 0},
    {"tmpfs", "/mnt/with blank", "tmpfs", 0},
    {kLongDev.substr(0, 127), "/mnt/long", kLongType.substr(0, 31), 1},
};

class MntTab : public ::testing::Test {
protected:
    void SetUp() override {
        testkit::write_file(tmp.file("mtab"), table_text());
        ss_setmnttab(tmp.file("mtab").c_str());
    }
    void TearDown() override { ss_setmnttab(nullptr); }
    testkit::TempDir tmp;
};

void expect_entry(const ssmnttab *mt, const Entry &e) {
    ASSERT_NE(mt, nullptr) << e.path;
    EXPECT_EQ(mt->mt_dev, e.dev);
    EXPECT_EQ(mt->mt_path, e.path);
    EXPECT_EQ(mt->mt_fstype, e.fstype);
    EXPECT_EQ(mt->mt_read_only, e.read_only) << e.path;
    EXPECT_EQ(mt->mt_time, 0);
}

TEST_F(MntTab, WalkInFileOrderThenStayAtEnd) {
    // A lookup in the middle of a walk starts the walk again.
    expect_entry(ss_getmntent(), kEntries[0]);
    expect_entry(ss_getmntent(), kEntries[1]);
    expect_entry(ss_getmntbyname("/mnt/nfs"), kEntries[3]);
    for (const Entry &e : kEntries) expect_entry(ss_getmntent(), e);
    EXPECT_EQ(ss_getmntent(), nullptr);
    EXPECT_EQ(ss_getmntent(), nullptr);  // still at the end until rewound
    ss_endmntent();
    EXPECT_EQ(mtfp, nullptr);
    expect_entry(ss_getmntent(), kEntries[0]);
}

TEST_F(MntTab, LookupByDeviceOrMountPoint) {
    struct Case {
        const char *name;
        int entry;  // index into kEntries, -1: none
    } cases[] = {
        {"/dev/vdb", 4}, {"/mnt/nfs", 3}, {"tmpfs", 1}, {"/mnt/with blank", 5},
        {"/mnt", -1},    {"/MNT/NFS", -1}, {"", -1},
    };
    for (const Case &c : cases) {
        const ssmnttab *mt = ss_getmntbyname(c.name);
        if (c.entry < 0) {
            EXPECT_EQ(mt, nullptr) << c.name;
        } else {
            expect_entry(mt, kEntries[c.entry]);
        }
        EXPECT_EQ(mtfp, nullptr) << "table left open after " << c.name;
    }
}

TEST_F(MntTab, MissingTableReadsEmpty) {
    ss_setmnttab(tmp.file("absent").c_str());
    EXPECT_EQ(ss_getmntent(), nullptr);
    EXPECT_EQ(ss_getmntbyname("/"), nullptr);
}

TEST(MntTabDefault, SystemTableHasRoot) {
    // The default table of this machine lists the root filesystem, where the
    // root is a mount point at all (in a plain chroot it is not).
    struct statx sx;
    if (statx(AT_FDCWD, "/", 0, STATX_BASIC_STATS, &sx) != 0 || (sx.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) == 0) {
        GTEST_SKIP() << "the kernel does not say whether / is a mount point";
    }
    if ((sx.stx_attributes & STATX_ATTR_MOUNT_ROOT) == 0) GTEST_SKIP() << "/ is not a mount point here (a chroot?)";
    ss_setmnttab(nullptr);
    if (ss_getmntent() == nullptr) GTEST_SKIP() << "neither /etc/mtab nor /proc/self/mounts can be read here";
    const ssmnttab *mt = ss_getmntbyname("/");
    ASSERT_NE(mt, nullptr);
    EXPECT_STREQ(mt->mt_path, "/");
}

TEST(MntTabDefault, KernelTableWhereEtcMtabIsMissing) {
    // In a private mount namespace: /etc is hidden by an empty tmpfs, and a
    // filesystem mounted there must still be found through the kernel's table.
    testkit::TempDir tmp;
    const std::string marker = tmp.file("marker");
    mkdir(marker.c_str(), 0755);
    testkit::RunResult r = testkit::run_forked([&] {
        if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount("none", "/etc", "tmpfs", 0, nullptr) != 0 ||
            mount("kivra-marker", marker.c_str(), "tmpfs", 0, nullptr) != 0) {
            std::fprintf(stderr, "%s", std::strerror(errno));
            return 2;
        }
        ss_setmnttab(nullptr);
        const ssmnttab *mt = ss_getmntbyname(marker.c_str());
        return mt != nullptr && std::strcmp(mt->mt_dev, "kivra-marker") == 0 ? 0 : 1;
    });
    if (r.status == 2) GTEST_SKIP() << "cannot mount in a private namespace here: " << r.err;
    EXPECT_EQ(r.status, 0) << "the mount made in the namespace is not in the table read";
}

}  // namespace
