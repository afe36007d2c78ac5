// Error reports: exact text on the error stream (CR LF endings) and on the
// catalog stream (LF endings), the program-name prefix, and the endings by
// exit(255) and abort().
#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "ss.h"
#include "testkit.h"

namespace {

char tool_name[] = "tool";
const std::string enoent = std::strerror(ENOENT);

// A stream into memory and what was written to it.
struct Mem {
    char *buf = nullptr;
    size_t len = 0;
    FILE *f = open_memstream(&buf, &len);
    ~Mem() {
        std::fclose(f);
        std::free(buf);
    }
    std::string text() {
        std::fflush(f);
        return std::string(buf, len);
    }
};

// Points the error and catalog streams at memory for one test and puts the
// process-wide settings back afterwards.
class SsErr : public ::testing::Test {
protected:
    void SetUp() override {
        saved_progname_ = progname;
        progname = tool_name;
        reset();
        er_catalog = 1;
    }
    void TearDown() override {
        _Errstrm = Catstrm = nullptr;
        er_catalog = 0;
        progname = saved_progname_;
    }
    // Starts both streams afresh.
    void reset() {
        err_ = std::make_unique<Mem>();
        cat_ = std::make_unique<Mem>();
        _Errstrm = err_->f;
        Catstrm = cat_->f;
    }
    std::string err_text() { return err_->text(); }
    std::string cat_text() { return cat_->text(); }

private:
    std::unique_ptr<Mem> err_, cat_;
    char *saved_progname_ = nullptr;
};

}  // namespace

TEST_F(SsErr, SysAddsReasonAndDropsFinalLineFeed) {
    struct Case {
        const char *fmt;
        bool with_name;
        std::string err;
        std::string cat;
    } cases[] = {
        {"cannot open %s\n", true, "tool: cannot open x because " + enoent + " \r\n",
         "tool: cannot open x because " + enoent + "\n"},
        {"cannot open %s", true, "tool: cannot open x because " + enoent + " \r\n",
         "tool: cannot open x because " + enoent + "\n"},
        {"two\nlines %s\n", true, "tool: two\nlines x because " + enoent + " \r\n",
         "tool: two\nlines x because " + enoent + "\n"},
        {"%s\n\n", false, "x\n because " + enoent + " \r\n", "x\n because " + enoent + "\n"},
        {"", true, "tool:  because " + enoent + " \r\n", "tool:  because " + enoent + "\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.fmt);
        const std::string fmt = c.fmt;
        progname = c.with_name ? tool_name : nullptr;
        reset();
        errno = ENOENT;
        err_sys(c.fmt, "x");
        EXPECT_EQ(std::string(c.fmt), fmt);  // the caller's format is left alone
        EXPECT_EQ(err_text(), c.err);
        EXPECT_EQ(cat_text(), c.cat);
    }
}

TEST_F(SsErr, RetPrintsMessageAsGiven) {
    err_ret("copied %d of %s", 3, "4");
    err_ret("with feed\n");
    EXPECT_EQ(err_text(), "tool: copied 3 of 4\r\ntool: with feed\n\r\n");
    EXPECT_EQ(cat_text(), "tool: copied 3 of 4\ntool: with feed\n\n");
}

TEST_F(SsErr, CatalogOnlyWhenAsked) {
    er_catalog = 0;
    err_ret("quiet");
    errno = ENOENT;
    err_sys("quiet");
    EXPECT_EQ(cat_text(), "");
    Catstrm = nullptr;  // never touched while the catalog is off
    err_ret("still quiet");
    er_catalog = 1;  // switched on without a stream: no copy, no crash
    err_ret("no stream");
    EXPECT_EQ(err_text(), "tool: quiet\r\ntool: quiet because " + enoent + " \r\ntool: still quiet\r\ntool: no stream\r\n");
}

TEST_F(SsErr, OpenNamesThePurpose) {
    struct Case {
        const char *mode;
        const char *purpose;
    } cases[] = {
        {"w", " for writing "}, {"w+", " for writing "}, {"rw", " for read/write"},
        {"aw", " for read/write"}, {"r", " for reading "}, {"r+", " for reading "},
        {"a", " for reading "}, {"", " for reading "}, {nullptr, ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.mode != nullptr ? c.mode : "(null)");
        reset();
        errno = ENOENT;
        err_open("/x/y", c.mode);
        EXPECT_EQ(err_text(),
                  std::string("tool: Error opening file \"/x/y\"") + c.purpose + " because " + enoent + " \r\n");
    }
    EXPECT_EQ(cat_text(), "");
}

// err_quit exits with 255, err_dump aborts; both after writing both streams.
TEST(SsErrDeath, QuitAndDumpEndTheProcess) {
    const struct {
        bool dump;
        std::string err, cat;
    } cases[] = {{false, "tool: bad 7\n\r\n", "tool: bad 7\n\n"}, {true, "tool: core 1\r\n\n", "tool: core 1\n"}};
    for (const auto &c : cases) {
        testkit::TempDir dir;
        const std::string err_path = dir.file("err"), cat_path = dir.file("cat");
        auto body = [&] {
            progname = tool_name;
            _Errstrm = std::fopen(err_path.c_str(), "w");
            Catstrm = std::fopen(cat_path.c_str(), "w");
            er_catalog = 1;
            if (c.dump) err_dump("core %d", 1);
            err_quit("bad %d\n", 7);
        };
        if (c.dump) {
            EXPECT_EXIT(body(), ::testing::KilledBySignal(SIGABRT), "");
        } else {
            EXPECT_EXIT(body(), ::testing::ExitedWithCode(255), "");
        }
        EXPECT_EQ(testkit::read_file(err_path), c.err);
        EXPECT_EQ(testkit::read_file(cat_path), c.cat);
    }
}

TEST(SsErrDeath, QuitWritesToStandardErrorByDefault) {
    EXPECT_EXIT(
        {
            progname = tool_name;
            err_quit("giving up on %s", "it");
        },
        ::testing::ExitedWithCode(255), "^tool: giving up on it\r\n$");
}

