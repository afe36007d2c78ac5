// Mount table: entries from a prepared table file, fields cut to their
// widths, "ro" only as a whole option, walk and rewind, lookup by name.
#include <gtest/gtest.h>

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

TEST_F(MntTab, LookupRestartsAWalk) {
    expect_entry(ss_getmntent(), kEntries[0]);
    expect_entry(ss_getmntent(), kEntries[1]);
    expect_entry(ss_getmntbyname("/mnt/nfs"), kEntries[3]);
    expect_entry(ss_getmntent(), kEntries[0]);
}

TEST_F(MntTab, MissingTableReadsEmpty) {
    ss_setmnttab(tmp.file("absent").c_str());
    EXPECT_EQ(ss_getmntent(), nullptr);
    EXPECT_EQ(ss_getmntbyname("/"), nullptr);
}

TEST(MntTabDefault, SystemTableHasRoot) {
    // The default table of this machine lists the root filesystem.
    ss_setmnttab(nullptr);
    const ssmnttab *mt = ss_getmntbyname("/");
    ASSERT_NE(mt, nullptr);
    EXPECT_STREQ(mt->mt_path, "/");
}

}  // namespace
