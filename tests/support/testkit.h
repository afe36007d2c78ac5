// testkit.h - helpers shared by the tests: scratch directories, files,
// random data, running the real kivra binary (or any command) with captured
// output, and capturing what in-process code writes to stderr.
//
// Every test kit (this one, cli_kit.h, extract_kit.h, decode_kit.h,
// encode_kit.h) puts its helpers in namespace testkit; each job has one
// helper: TempDir for a scratch directory, random_bytes for random data,
// stderr_of for stderr of code that returns, run/run_forked for code or
// programs that may end the process, build_archive for an archive of the real
// builder, trailer_bytes/payload_offset for the archive layout, CaseName for
// the names of parameterised cases.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace testkit {

// Path of the kivra binary of this build.
std::string kivra_bin();
// Source tree root (for bundled samples).
std::string source_dir();

// A fresh directory under $TMPDIR (or /tmp), removed with its contents.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::string &path() const { return path_; }
    std::string file(const std::string &name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// Makes dir the working directory for its lifetime, then returns to the old one.
class InDir {
public:
    explicit InDir(const std::string &dir);
    ~InDir();
    InDir(const InDir &) = delete;
    InDir &operator=(const InDir &) = delete;

private:
    std::string old_;
};

std::string read_file(const std::string &path);
// text with every `from` replaced by `to`.
std::string replaced(std::string text, const std::string &from, const std::string &to);
void write_file(const std::string &path, const std::string &data, int mode = 0644);

struct RunResult {
    std::string out;   // everything written to standard output
    std::string err;   // everything written to standard error
    int status = -1;   // exit status, or 128 + signal number
    bool signaled = false;
};

struct RunOptions {
    std::string stdin_data;          // fed on standard input (then EOF)
    std::string cwd;                 // working directory; empty: inherit
    std::vector<std::string> env;    // extra NAME=value entries
    bool stdin_null = false;         // stdin from /dev/null instead of stdin_data
    std::function<void(int pid)> meanwhile;  // called with the child's pid while it runs
};

// Runs body in a forked child with standard input, output and error
// redirected as for run(); body's result is the child's exit status.
RunResult run_forked(const std::function<int()> &body, const RunOptions &opts = {});

// Replaces the process with argv[0] (looked up on PATH when it has no '/');
// returns 127 when that fails.
int exec_argv(const std::vector<std::string> &argv);
// Runs argv[0] (looked up on PATH when it has no '/') with the arguments.
RunResult run(const std::vector<std::string> &argv, const RunOptions &opts = {});
// CRC-32 of data computed bit by bit: independent of the codec's table.
uint32_t crc32_of(const std::string &data);
// n deterministic pseudo-random bytes (xorshift32 from seed; 0 counts as 1).
std::string random_bytes(size_t n, uint32_t seed);
// Everything fn writes to stderr (the stdio stream and descriptor 2).
std::string stderr_of(const std::function<void()> &fn);

// Runs a /bin/sh command line.
RunResult sh(const std::string &command, const RunOptions &opts = {});

// Runs `kivra <options> <input>` (no operand added when input is empty) in
// cwd (empty: inherit) and stores its standard output as the executable file
// `out`, which it returns. A failed build throws std::runtime_error.
std::string build_archive(const std::vector<std::string> &options, const std::string &input,
                          const std::string &out, const std::string &cwd = "");

// The magic that starts an archive's trailer, and the trailer the builder
// writes after the stub: magic, then features, comment, run program and
// extract command, each ended by a NUL.
inline const std::string kMagic = "kivra+magik";
std::string trailer_bytes(const std::string &features, const std::string &comment = "Self-Extracting archive file",
                          const std::string &run = "", const std::string &extract = "");
// Offset of the first payload byte of an archive: after the first magic and
// the four strings (npos when there is no trailer).
size_t payload_offset(const std::string &archive);

// Name generator of INSTANTIATE_TEST_SUITE_P for cases with a `name` member:
// the name with each character other than a letter or digit made '_'.
struct CaseName {
    template <class P> std::string operator()(const testing::TestParamInfo<P> &info) const {
        std::string n = info.param.name;
        for (char &ch : n)
            if (!isalnum(static_cast<unsigned char>(ch))) ch = '_';
        return n;
    }
};

}  // namespace testkit
