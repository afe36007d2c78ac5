#include "extract_kit.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <stdexcept>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

namespace testkit {

std::string make_payload(const std::string &dir) {
    std::string src = dir + "/src";
    mkdir(src.c_str(), 0755);
    mkdir((src + "/sub").c_str(), 0755);
    testkit::write_file(src + "/a.txt", "alpha\n");
    testkit::write_file(src + "/sub/b.txt", "beta\n");
    std::string tar = dir + "/payload.tar";
    testkit::RunResult r = testkit::sh("tar cf " + shq(tar) + " -C " + shq(src) + " a.txt sub");
    if (r.status != 0) throw std::runtime_error("tar failed: " + r.err);
    return tar;
}

testkit::RunResult run_on_pty(const std::vector<std::string> &argv, const std::string &typed,
                              const std::string &cwd, OnPty on_pty) {
    testkit::TempDir io;
    std::string file_path = io.file("output");  // the stream that is not on the terminal
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) throw std::runtime_error("no pty");
    // Echo and output translation go off before anything is typed.
    int slave = open(ptsname(master), O_RDWR | O_NOCTTY);
    if (slave < 0) throw std::runtime_error("cannot open the pty's terminal side");
    struct termios t;
    tcgetattr(slave, &t);
    t.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    t.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    tcsetattr(slave, TCSANOW, &t);

    pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        setsid();
        int file = open(file_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (file < 0) _exit(126);
        dup2(slave, 0);
        dup2(on_pty == OnPty::output ? slave : file, 1);
        dup2(on_pty == OnPty::output ? file : slave, 2);
        close(master);
        if (chdir(cwd.c_str()) != 0) _exit(126);
        std::vector<char *> args;
        for (const std::string &a : argv) args.push_back(const_cast<char *>(a.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }
    close(slave);  // the program's copies are the last ones: reading then ends with EIO
    // Typed ahead: the terminal keeps the lines until the program reads them.
    if (!typed.empty() && write(master, typed.data(), typed.size()) != static_cast<ssize_t>(typed.size())) {
        throw std::runtime_error("cannot type on the pty");
    }
    std::string shown;  // what the terminal received
    char buf[4096];
    for (;;) {
        ssize_t n = read(master, buf, sizeof buf);
        if (n > 0) {
            shown.append(buf, static_cast<size_t>(n));
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            break;  // EIO once the program and its children closed the terminal
        }
    }
    int wstatus = 0;
    while (waitpid(pid, &wstatus, 0) < 0 && errno == EINTR) {
    }
    close(master);
    testkit::RunResult r;
    r.out = on_pty == OnPty::output ? shown : testkit::read_file(file_path);
    r.err = on_pty == OnPty::output ? testkit::read_file(file_path) : shown;
    r.signaled = WIFSIGNALED(wstatus);
    r.status = r.signaled ? 128 + WTERMSIG(wstatus) : WEXITSTATUS(wstatus);
    return r;
}

std::string shq(const std::string &s) {
    std::string q = "'";
    for (char c : s) {
        if (c == '\'') {
            q += "'\\''";
        } else {
            q += c;
        }
    }
    return q + "'";
}

void WorkDir::SetUp() {
    tar = make_payload(tmp.path());
    mkdir(work().c_str(), 0755);
}

bool WorkDir::exists(const std::string &rel) const {
    struct stat sb;
    return stat(at(rel).c_str(), &sb) == 0;
}

testkit::RunResult WorkDir::start(std::vector<std::string> args, std::function<void(int pid)> meanwhile) const {
    args.insert(args.begin(), "./inst");
    testkit::RunOptions o;
    o.cwd = work();
    o.stdin_null = true;
    o.meanwhile = std::move(meanwhile);
    return testkit::run(args, o);
}

bool WorkDir::await(const std::string &rel) const {
    for (int i = 0; i < 3000; i++) {
        if (exists(rel)) return true;
        usleep(10000);
    }
    return false;
}

}  // namespace testkit
