// cli_kit.h - helpers for command-line tests that build archives with the
// real binary and look at what it wrote. (Listing output is checked by the
// scripts in tests/cli/ against literal expected output.)
#pragma once

#include <cstdint>
#include <string>
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
    // Runs a program in the workspace; kivra() runs kivra_bin() with args.
    RunResult run(const std::vector<std::string> &argv) const;
    RunResult kivra(const std::vector<std::string> &args) const;
    // build_archive in the workspace: the archive `name` from `args`.
    std::string build(const std::string &name, const std::vector<std::string> &args) const {
        return build_archive(args, "", file(name), path());
    }

private:
    RunOptions opts_;
};

}  // namespace testkit
