#include "extract_kit.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <stdexcept>
#include <sys/stat.h>
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

    std::string shown;  // what the terminal received
    RunOptions opts;
    opts.cwd = cwd;
    opts.meanwhile = [&](int) {
        close(slave);  // the program's copies are the last ones: reading then ends with EIO
        // Typed ahead: the terminal keeps the lines until the program reads them.
        if (!typed.empty() && write(master, typed.data(), typed.size()) != static_cast<ssize_t>(typed.size()))
            throw std::runtime_error("cannot type on the pty");
        char buf[4096];
        for (ssize_t n; (n = read(master, buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR);)
            if (n > 0) shown.append(buf, static_cast<size_t>(n));
    };
    testkit::RunResult r = run_forked(
        [&] {
            setsid();
            dup2(slave, 0);
            dup2(slave, on_pty == OnPty::output ? 1 : 2);
            close(master);
            return exec_argv(argv);
        },
        opts);
    close(master);
    (on_pty == OnPty::output ? r.out : r.err) = shown;
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

std::string no_room(const std::string &dir, const std::string &megs, const std::string &fs) {
    return dir + "/qm: not enough space to extract the archive.\nPlease make at least " + megs + " available in " + fs +
           ".\nAlternatively, you can make space available on another filesystem where a\n"
           "\"qm\" directory can be created. Ensure that the \"qm\" directory\ndoes not exist before trying again.\n";
}

std::string swap_mtab(const std::string &dir, const std::string &mtab) {
    return "mkdir " + dir + "/etc-real " + dir + "/etc-new\nmount --bind /etc " + dir + "/etc-real\n" +
           "for f in " + dir + "/etc-real/* " + dir + "/etc-real/.[!.]*; do if [ -e \"$f\" ] || [ -L \"$f\" ]; then " +
           "ln -s \"$f\" " + dir + "/etc-new/; fi; done\nrm -f " + dir + "/etc-new/mtab\ncp " + mtab + " " + dir +
           "/etc-new/mtab\nmount --bind " + dir + "/etc-new /etc\n";
}

void WorkDir::SetUp() {
    tar = make_payload(tmp.path());
    mkdir(work().c_str(), 0755);
}

bool WorkDir::exists(const std::string &rel) const {
    struct stat sb;
    return stat(at(rel).c_str(), &sb) == 0;
}

testkit::RunResult WorkDir::run_in_work(std::vector<std::string> argv, std::function<void(int pid)> meanwhile) const {
    if (argv[0] == "kivra") argv[0] = kivra_bin();
    testkit::RunOptions o;
    o.cwd = work();
    o.stdin_null = true;
    o.meanwhile = std::move(meanwhile);
    return testkit::run(argv, o);
}

testkit::RunResult WorkDir::start(std::vector<std::string> args, std::function<void(int pid)> meanwhile) const {
    args.insert(args.begin(), "./inst");
    return run_in_work(args, std::move(meanwhile));
}

bool WorkDir::await(const std::string &rel) const {
    for (int i = 0; i < 3000; i++) {
        if (exists(rel)) return true;
        usleep(10000);
    }
    return false;
}

}  // namespace testkit
