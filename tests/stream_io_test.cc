// Whole transfers under signals: read_fully and write_fully must carry on
// when a signal interrupts them (EINTR) or the system splits the transfer,
// and stop only at end of file or a real error. A timer interrupts every
// 2 ms, with a handler installed without SA_RESTART, while a child process
// feeds or drains a pipe slowly, so both interrupted and partial calls occur.
#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <string>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include "stream.h"
#include "testkit.h"

namespace {

volatile sig_atomic_t ticks;
void on_tick(int) { ticks = ticks + 1; }

// Runs fn with the interval timer firing; returns how often it fired.
template <class F> int with_ticks(F fn) {
    struct sigaction sa {};
    sa.sa_handler = on_tick;  // no SA_RESTART: blocked calls fail with EINTR
    sigaction(SIGALRM, &sa, nullptr);
    ticks = 0;
    const itimerval every{{0, 2000}, {0, 2000}};
    setitimer(ITIMER_REAL, &every, nullptr);
    fn();
    const itimerval off{};
    setitimer(ITIMER_REAL, &off, nullptr);
    signal(SIGALRM, SIG_DFL);
    return ticks;
}

// A child that writes data into fd in pieces, pausing between them.
pid_t slow_writer(int fd, const std::string &data) {
    const pid_t pid = fork();
    if (pid == 0) {
        for (size_t at = 0; at < data.size(); at += 4096) {
            usleep(3000);
            if (write(fd, data.data() + at, std::min<size_t>(4096, data.size() - at)) < 0) _exit(1);
        }
        _exit(0);
    }
    return pid;
}

TEST(WholeTransfers, ReadFullyCarriesOnThroughSignalsAndShortReads) {
    const std::string data = testkit::random_bytes(64 * 1024, 3);
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    const pid_t pid = slow_writer(p[1], data);
    close(p[1]);
    std::string got(data.size() + 10, '\0');
    size_t n = 0;
    const int fired = with_ticks([&] { n = read_fully(p[0], got.data(), got.size()); });
    const int err = errno;
    close(p[0]);
    waitpid(pid, nullptr, 0);
    EXPECT_GT(fired, 0);
    EXPECT_EQ(n, data.size());  // everything, then end of file
    EXPECT_EQ(err, 0);          // a short count at end of file leaves errno 0
    got.resize(n);
    EXPECT_TRUE(got == data);
}

TEST(WholeTransfers, WriteFullyCarriesOnThroughSignalsAndShortWrites) {
    const std::string data = testkit::random_bytes(1024 * 1024, 5);  // far more than a pipe holds
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    testkit::TempDir dir;
    const std::string sink = dir.file("sink");
    const pid_t pid = fork();
    if (pid == 0) {  // drains the pipe slowly into a file
        close(p[1]);
        FILE *f = std::fopen(sink.c_str(), "w");
        char buf[8192];
        ssize_t r;
        while ((r = read(p[0], buf, sizeof buf)) > 0) {
            usleep(200);
            std::fwrite(buf, 1, static_cast<size_t>(r), f);
        }
        std::fclose(f);
        _exit(0);
    }
    close(p[0]);
    int rc = -1;
    const int fired = with_ticks([&] { rc = write_fully(p[1], data.data(), data.size()); });
    close(p[1]);
    waitpid(pid, nullptr, 0);
    EXPECT_GT(fired, 0);
    EXPECT_EQ(rc, 0);
    EXPECT_TRUE(testkit::read_file(sink) == data);
}

TEST(WholeTransfers, WriteFullyReportsARealError) {
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    close(p[0]);
    signal(SIGPIPE, SIG_IGN);
    EXPECT_EQ(write_fully(p[1], "x", 1), -1);
    EXPECT_EQ(errno, EPIPE);
    signal(SIGPIPE, SIG_DFL);
    close(p[1]);
}

}  // namespace
