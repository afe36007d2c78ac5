#include "cli_kit.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

namespace testkit {

Workspace::Workspace() {
    opts_.cwd = path();
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

size_t payload_offset(size_t stub_size, const Trailer &t) {
    return stub_size + 11 + t.features.size() + t.comment.size() + t.run.size() + t.extract.size() + 4;
}

}  // namespace testkit
