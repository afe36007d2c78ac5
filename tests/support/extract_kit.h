// extract_kit.h - helpers for the end-to-end extraction tests: a small tar
// payload, installers built by the real binary, runs on a pseudo-terminal.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "testkit.h"

namespace testkit {

// Writes a small tree (a.txt, sub/b.txt) under dir/src and packs it into
// dir/payload.tar with the system's tar. Returns the tar file's path.
std::string make_payload(const std::string &dir);

// Which output stream run_on_pty puts on the terminal; the other goes to a file.
enum class OnPty { output, errors };

// Runs argv with a pseudo-terminal as standard input and as standard output
// (OnPty::output) or standard error (OnPty::errors), echo and output
// translation off, after writing `typed` to the terminal. out and err hold
// what the program wrote to each stream, wherever it went. Throws
// std::runtime_error where no pseudo-terminal can be had.
testkit::RunResult run_on_pty(const std::vector<std::string> &argv, const std::string &typed,
                              const std::string &cwd, OnPty on_pty = OnPty::output);

// What an installer built with -C "Test installer" writes first.
inline const std::string kBanner = "\nTest installer\n\nPlease wait...\n";

// The report when no filesystem had room to extract into dir/qm: it asks for
// `megs` (e.g. "1Mb") on fs.
std::string no_room(const std::string &dir, const std::string &megs, const std::string &fs);

// Shell lines for root in a private mount namespace after which /etc/mtab
// reads as the file `mtab`; dir is a scratch directory for two mount points.
std::string swap_mtab(const std::string &dir, const std::string &mtab);

// Quotes s for /bin/sh.
std::string shq(const std::string &s);

// A scratch directory with the tar payload and an empty work/ directory where
// installers are built and run.
class WorkDir : public ::testing::Test {
protected:
    void SetUp() override;
    std::string work() const { return tmp.file("work"); }
    std::string at(const std::string &rel) const { return work() + "/" + rel; }
    bool exists(const std::string &rel) const;
    // Runs argv in work/, standard input from /dev/null (an argv[0] of "kivra"
    // is the tool under test); meanwhile, when given, is called with its pid
    // while it runs.
    testkit::RunResult run_in_work(std::vector<std::string> argv, std::function<void(int pid)> meanwhile = {}) const;
    // Runs ./inst with the arguments, as run_in_work.
    testkit::RunResult start(std::vector<std::string> args = {},
                             std::function<void(int pid)> meanwhile = {}) const;
    // Waits (up to 30 s) until work/<rel> exists: a command's sign that it runs.
    bool await(const std::string &rel) const;

    testkit::TempDir tmp;
    std::string tar;
};

}  // namespace testkit
