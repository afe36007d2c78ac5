// cli_kit.h - helpers for command-line tests that build archives with the
// real binary and look at what it wrote. (Listing output is checked by the
// scripts in tests/cli/ against literal expected output.)
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "testkit.h"

namespace testkit {

// A scratch directory in which every command runs, with TZ=UTC so that
// dates print the same everywhere.
class Workspace : public TempDir {
public:
    Workspace();
    // Writes `data` to `name`, creating its parent directories.
    void put(const std::string &name, const std::string &data, int mode = 0644);
    // Runs a program (kivra_bin() when argv[0] is empty) in the workspace.
    RunResult run(std::vector<std::string> argv) const;
    RunResult kivra(const std::vector<std::string> &args) const;
    // Runs the builder with `args` and stores its output as the executable
    // file `name`; a failed build is reported as a test failure.
    std::string build(const std::string &name, const std::vector<std::string> &args) const;

private:
    RunOptions opts_;
};

// The four trailer strings of an archive, as the builder stores them.
struct Trailer {
    std::string features, comment, run, extract;
    explicit Trailer(std::string f, std::string c = "Self-Extracting archive file", std::string r = "",
                     std::string e = "")
        : features(std::move(f)), comment(std::move(c)), run(std::move(r)), extract(std::move(e)) {}
};
// Offset of the first payload byte of an archive with this stub and trailer.
size_t payload_offset(size_t stub_size, const Trailer &t);

}  // namespace testkit
