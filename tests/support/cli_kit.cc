#include "cli_kit.h"

#include <cstdio>
#include <sys/stat.h>

#include <gtest/gtest.h>

namespace cli_kit {

Workspace::Workspace() {
    opts_.cwd = dir_.path();
    opts_.env = {"TZ=UTC"};
    opts_.stdin_null = true;
}

void Workspace::put(const std::string &name, const std::string &data, int mode) {
    for (size_t slash = name.find('/'); slash != std::string::npos; slash = name.find('/', slash + 1))
        mkdir(file(name.substr(0, slash)).c_str(), 0755);
    testkit::write_file(file(name), data, mode);
}

testkit::RunResult Workspace::run(std::vector<std::string> argv) const {
    if (argv.empty() || argv[0].empty()) {
        if (argv.empty()) argv.emplace_back();
        argv[0] = testkit::kivra_bin();
    }
    return testkit::run(argv, opts_);
}

testkit::RunResult Workspace::kivra(const std::vector<std::string> &args) const {
    std::vector<std::string> argv{testkit::kivra_bin()};
    argv.insert(argv.end(), args.begin(), args.end());
    return run(argv);
}

std::string Workspace::build(const std::string &name, const std::vector<std::string> &args) const {
    testkit::RunResult r = kivra(args);
    EXPECT_EQ(r.status, 0) << "building " << name << ": " << r.err;
    testkit::write_file(file(name), r.out, 0755);
    return r.out;
}

size_t preamble_end(size_t stub_size, const Trailer &t) {
    return stub_size + 11 + t.features.size() + t.comment.size() + t.run.size() + t.extract.size() + 4;
}

std::string trailer_lines(const Trailer &t) {
    std::string s;
    if (!t.features.empty()) s += "Feature: " + t.features + "\n";
    return s + "Comment: " + t.comment + "\n    Run: " + t.run + "\nExtract: " +
           (t.extract.empty() ? "cat > %p/%o" : t.extract) + "\n";
}

std::string columns(bool verbose) {
    return std::string(verbose ? "method  crc     date  time  " : "") + "compressed  uncompr. ratio uncompressed_name\n";
}

std::string ratio_text(long long num, long long den) {
    const long long r = den == 0 ? 0 : den < 2147483 ? 1000 * num / den : num / (den / 1000);
    const long long a = r < 0 ? -r : r;
    char buf[32];
    std::snprintf(buf, sizeof buf, "%c%2lld.%1lld%%", r < 0 ? '-' : ' ', a / 10, a % 10);
    return buf;
}

std::string stats_line(const Stats &s) {
    char buf[96];
    std::string line;
    if (s.verbose) {
        std::snprintf(buf, sizeof buf, "defla %08x %11s ", s.crc, "Jan  1 00:00");
        line = buf;
    }
    std::snprintf(buf, sizeof buf, "%9zu %9llu ", s.compressed, static_cast<unsigned long long>(s.uncompressed));
    const long long header_bytes = 10 + static_cast<long long>(s.name.size()) + 1 + 8;
    const long long unc = static_cast<long long>(s.uncompressed);
    return line + buf + ratio_text(header_bytes + unc - static_cast<long long>(s.compressed), unc) + " " + s.name + "\n";
}

}  // namespace cli_kit
