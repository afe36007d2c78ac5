// cli_kit.h - helpers for command-line tests that build archives with the
// real binary and check what the listing prints about them.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "testkit.h"

namespace cli_kit {

// A scratch directory in which every command runs, with TZ=UTC so that
// dates print the same everywhere.
class Workspace {
public:
    Workspace();
    const std::string &path() const { return dir_.path(); }
    std::string file(const std::string &name) const { return dir_.file(name); }
    // Writes `data` to `name`, creating its parent directories.
    void put(const std::string &name, const std::string &data, int mode = 0644);
    // Runs a program (kivra_bin() when argv[0] is empty) in the workspace.
    testkit::RunResult run(std::vector<std::string> argv) const;
    testkit::RunResult kivra(const std::vector<std::string> &args) const;
    // Runs the builder with `args` and stores its output as the executable
    // file `name`; a failed build is reported as a test failure.
    std::string build(const std::string &name, const std::vector<std::string> &args) const;

private:
    testkit::TempDir dir_;
    testkit::RunOptions opts_;
};

// The four trailer strings of an archive, as the builder stores them.
struct Trailer {
    std::string features, comment, run, extract;
    explicit Trailer(std::string f, std::string c = "Self-Extracting archive file", std::string r = "",
                     std::string e = "")
        : features(std::move(f)), comment(std::move(c)), run(std::move(r)), extract(std::move(e)) {}
};
// Offset of the first payload byte of an archive with this stub and trailer.
size_t preamble_end(size_t stub_size, const Trailer &t);
// The listing's trailer lines.
std::string trailer_lines(const Trailer &t);

// The column header line (with its verbose prefix when asked).
std::string columns(bool verbose);
// What display_ratio prints for num/den.
std::string ratio_text(long long num, long long den);

// One statistics line. `name` is the first member's stored name; the
// member headers written by the builder are 10 bytes plus the name and NUL.
struct Stats {
    size_t compressed = 0;
    uint64_t uncompressed = 0;
    std::string name;
    bool verbose = false;
    uint32_t crc = 0;  // verbose only: CRC of the last input file
};
std::string stats_line(const Stats &s);

using testkit::crc32_of;

}  // namespace cli_kit
