#include "testkit.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <ftw.h>
#include <stdexcept>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace testkit {

std::string kivra_bin() { return KIVRA_BIN; }
std::string source_dir() { return KIVRA_SOURCE_DIR; }

TempDir::TempDir() {
    const char *base = std::getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/kivra-test-XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = buf.data();
}

TempDir::~TempDir() {
    nftw(
        path_.c_str(),
        [](const char *p, const struct stat *, int, struct FTW *) { return remove(p); }, 16,
        FTW_DEPTH | FTW_PHYS);
}

std::string replaced(std::string text, const std::string &from, const std::string &to) {
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

InDir::InDir(const std::string &dir) {
    char buf[4096];
    old_ = getcwd(buf, sizeof buf) != nullptr ? buf : "/";
    EXPECT_EQ(chdir(dir.c_str()), 0) << dir;
}

InDir::~InDir() { EXPECT_EQ(chdir(old_.c_str()), 0) << old_; }

std::string read_file(const std::string &path) {
    std::string data;
    int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0) throw std::runtime_error("cannot open " + path);
    char buf[65536];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0) data.append(buf, static_cast<size_t>(n));
    close(fd);
    return data;
}

void write_file(const std::string &path, const std::string &data, int mode) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, mode);
    if (fd < 0) throw std::runtime_error("cannot create " + path);
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = write(fd, data.data() + done, data.size() - done);
        if (n <= 0) throw std::runtime_error("cannot write " + path);
        done += static_cast<size_t>(n);
    }
    close(fd);
    chmod(path.c_str(), static_cast<mode_t>(mode));
}

RunResult run_forked(const std::function<int()> &body, const RunOptions &opts) {
    // Standard streams go through files so that large outputs cannot dead-lock.
    TempDir io;
    const std::string in_path = io.file("stdin"), out_path = io.file("stdout"),
                      err_path = io.file("stderr");
    write_file(in_path, opts.stdin_data);

    std::fflush(nullptr);  // nothing buffered may be written twice
    pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        int in = open(opts.stdin_null ? "/dev/null" : in_path.c_str(), O_RDONLY);
        int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (in < 0 || out < 0 || err < 0) _exit(126);
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        close(in);
        close(out);
        close(err);
        // Signals a test sends reach the child with their default action.
        for (int sig : {SIGINT, SIGTERM, SIGHUP}) signal(sig, SIG_DFL);
        if (!opts.cwd.empty() && chdir(opts.cwd.c_str()) != 0) _exit(126);
        for (const std::string &e : opts.env) putenv(strdup(e.c_str()));
        const int status = body();
        std::fflush(nullptr);
        _exit(status);
    }
    if (opts.meanwhile) opts.meanwhile(pid);
    int wstatus = 0;
    while (waitpid(pid, &wstatus, 0) < 0 && errno == EINTR) {
    }
    RunResult r;
    r.out = read_file(out_path);
    r.err = read_file(err_path);
    if (WIFSIGNALED(wstatus)) {
        r.signaled = true;
        r.status = 128 + WTERMSIG(wstatus);
    } else {
        r.status = WEXITSTATUS(wstatus);
    }
    return r;
}

int exec_argv(const std::vector<std::string> &argv) {
    std::vector<char *> args;
    for (const std::string &a : argv) args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    return 127;
}

RunResult run(const std::vector<std::string> &argv, const RunOptions &opts) {
    return run_forked([&argv] { return exec_argv(argv); }, opts);
}

uint32_t crc32_of(const std::string &data) {
    uint32_t c = 0xffffffffu;
    for (unsigned char b : data) {
        c ^= b;
        for (int k = 0; k < 8; k++) c = (c & 1) ? 0xedb88320u ^ (c >> 1) : c >> 1;
    }
    return c ^ 0xffffffffu;
}

RunResult sh(const std::string &command, const RunOptions &opts) {
    return run({"/bin/sh", "-c", command}, opts);
}

std::string build_archive(const std::vector<std::string> &options, const std::string &input,
                          const std::string &out, const std::string &cwd) {
    std::vector<std::string> argv{kivra_bin()};
    argv.insert(argv.end(), options.begin(), options.end());
    if (!input.empty()) argv.push_back(input);
    RunOptions opts;
    opts.cwd = cwd;
    opts.stdin_null = true;
    RunResult r = run(argv, opts);
    if (r.status != 0) throw std::runtime_error("building " + out + " failed: " + r.err);
    write_file(out, r.out, 0755);
    return r.out;
}

std::string trailer_bytes(const std::string &features, const std::string &comment, const std::string &run,
                          const std::string &extract) {
    return kMagic + features + '\0' + comment + '\0' + run + '\0' + extract + '\0';
}

size_t payload_offset(const std::string &archive) {
    size_t pos = archive.find(kMagic);
    for (int i = 0; i < 4 && pos != std::string::npos; i++) pos = archive.find('\0', pos + (i ? 1 : kMagic.size()));
    return pos == std::string::npos ? pos : pos + 1;
}

std::string random_bytes(size_t n, uint32_t seed) {
    uint32_t x = seed ? seed : 1;
    std::string s(n, '\0');
    for (char &c : s) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        c = static_cast<char>(x >> 24);
    }
    return s;
}

std::string stderr_of(const std::function<void()> &fn) {
    testing::internal::CaptureStderr();
    fn();
    std::fflush(stderr);
    return testing::internal::GetCapturedStderr();
}

}  // namespace testkit
