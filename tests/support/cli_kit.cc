#include "cli_kit.h"

#include <sys/stat.h>

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

testkit::RunResult Workspace::run(const std::vector<std::string> &argv) const { return testkit::run(argv, opts_); }

testkit::RunResult Workspace::kivra(const std::vector<std::string> &args) const {
    std::vector<std::string> argv{testkit::kivra_bin()};
    argv.insert(argv.end(), args.begin(), args.end());
    return run(argv);
}

}  // namespace testkit
