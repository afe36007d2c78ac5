// replay_main.cc - runs saved inputs through a fuzz target without libFuzzer,
// so that the gcc builds (and CTest) exercise the targets on the checked-in
// corpus. Each argument is a file, run once, or a directory, whose regular
// files are run once each in name order (not recursively).
//
// Exit status: 0 after every input ran, 1 when an argument cannot be read or
// nothing ran. A crash, a sanitizer report or a broken invariant ends the
// process abnormally on the input named last on standard output.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

namespace {

bool read_whole(const std::string &path, std::vector<uint8_t> &out) {
    out.clear();
    int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0) return false;
    uint8_t chunk[65536];
    ssize_t n;
    while ((n = read(fd, chunk, sizeof chunk)) > 0) out.insert(out.end(), chunk, chunk + n);
    close(fd);
    return n == 0;
}

// Collects the inputs an argument names; false when it cannot be read.
bool collect(const std::string &arg, std::vector<std::string> &files) {
    struct stat st;
    if (stat(arg.c_str(), &st) != 0) return false;
    if (!S_ISDIR(st.st_mode)) {
        files.push_back(arg);
        return true;
    }
    DIR *d = opendir(arg.c_str());
    if (d == nullptr) return false;
    std::vector<std::string> found;
    while (dirent *e = readdir(d)) {
        std::string path = arg + "/" + e->d_name;
        if (e->d_name[0] != '.' && stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) found.push_back(path);
    }
    closedir(d);
    std::sort(found.begin(), found.end());
    files.insert(files.end(), found.begin(), found.end());
    return true;
}

}  // namespace

int main(int argc, char **argv) {
    std::vector<std::string> files;
    for (int i = 1; i < argc; i++) {
        if (!collect(argv[i], files)) {
            std::fprintf(stderr, "%s: cannot read %s\n", argv[0], argv[i]);
            return 1;
        }
    }
    std::vector<uint8_t> data;
    for (const std::string &f : files) {
        if (!read_whole(f, data)) {
            std::fprintf(stderr, "%s: cannot read %s\n", argv[0], f.c_str());
            return 1;
        }
        std::printf("replay %s (%zu bytes)\n", f.c_str(), data.size());
        std::fflush(stdout);
        // A valid pointer even for an empty input, as libFuzzer passes.
        static const uint8_t none = 0;
        LLVMFuzzerTestOneInput(data.empty() ? &none : data.data(), data.size());
    }
    std::printf("replayed %zu inputs\n", files.size());
    return files.empty() ? 1 : 0;
}
