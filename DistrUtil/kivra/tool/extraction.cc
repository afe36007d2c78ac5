// extraction.cc - the extractor role: reopen the archive at its payload,
// check for room, stream the payload (decoded, or raw) into the archive's
// extract command, then export the feature list and run, or offer, the
// archive's run program.
//
// The driver is the only place where the archive's two shell commands are
// started, one at a time, each waited for. It judges the extract command by
// its exit status: a failed extraction is reported and the run program is
// not started. While the pipe is open, SIGPIPE is ignored (for that span
// only, so neither command inherits the setting): a broken pipe means the
// command stopped reading before the end of the payload, and the driver then
// waits for it and reports the failed extraction instead of a write error.
//
// A fatal error while the pipe is open (corrupt data, a failed write) ends the
// process through exit. An exit handler then closes the pipe and waits for the
// extract command first, and only after that does the free-space check's own
// handler remove a temporary link and give up its lock: the command never
// loses the link while it may still be writing through it. (Exit handlers run
// in reverse order of registration, and the check always runs before the pipe
// is opened.)
//
// A compressed payload is checked before anything else happens (check_payload):
// it is decoded once with its CRC and length checked and the output dropped,
// so a damaged or cut archive ends with the decoder's message (after the
// comment, as always) before a directory, a link, a byte on standard output or
// a command exists. The extraction then reads it again from the start of its
// DEFLATE data. -s skips the check (a payload too large to read twice streams
// as before); a raw payload has no checksum and always streams.
//
// The run program gets the words after "--" as its positional parameters
// (run_shell starts it with an argument vector, no shell reads them).
//
// Once a temporary link exists, SIGINT, SIGTERM and SIGHUP (those not ignored
// when the archive started) must not leave it behind. Their handler only does
// what is safe in a handler: it notes the signal and, while the payload
// flows, puts the write end of a pipe without reader in place of the extract
// command's pipe (dup2). The command then sees the end of its input, and the
// driver's next write fails with EPIPE. The driver acts on the note when its
// blocking call returns (that write, sleep, which ends early, pclose and
// system, which wait for their command): it lets the extract command end,
// removes the link and ends by the same signal, with its default action.
#include "kivra.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr unsigned MEG = 1048576;
constexpr int ANSWER_BUF = 512;      // the prompt's line buffer
constexpr unsigned PAUSE_SECONDS = 2;

// Copies src into ofname, cut to its size.
void set_ofname(const char *src) { std::snprintf(ofname, sizeof ofname, "%s", src); }

// Megabytes the free-space check asks for: a member payload by its
// uncompressed size (the last member's size field, or the exact total the
// builder recorded from 4 GiB on), a raw payload by its own length. A size
// beyond what the check can ask for asks for the most it can.
int megs_needed(bool data_compressed, const ArchiveEnd &end) {
    const counter_t bytes = data_compressed ? end.total : end.payload_size;
    const counter_t megs = bytes / MEG + 1;
    return megs < INT_MAX ? static_cast<int>(megs) : INT_MAX;
}

// The extract command's pipe while the transfer runs, and what a report of
// its failure names.
struct {
    FILE *stream;
    const char *program;
    const char *pcmd;
} open_pipe;

// ---- signals while a temporary link exists --------------------------------------------
constexpr int LINK_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP};
volatile sig_atomic_t pending_signal;  // the first one caught, 0 before
volatile sig_atomic_t pipe_fd = -1;    // the extract command's pipe while the payload flows
int dead_end = -1;                     // write end of a pipe whose reader is closed

extern "C" void note_signal(int sig) {
    const int saved = errno;
    if (pending_signal == 0) pending_signal = sig;
    const int fd = pipe_fd;
    if (fd >= 0 && dead_end >= 0) dup2(dead_end, fd);
    errno = saved;
}

// Installs the handler, restarting interrupted calls, for each signal that is
// not ignored.
void catch_link_signals() {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) == 0) {
        close(fds[0]);
        dead_end = fds[1];
    }
    struct sigaction sa = {};
    sa.sa_handler = note_signal;
    sigemptyset(&sa.sa_mask);
    for (int sig : LINK_SIGNALS) sigaddset(&sa.sa_mask, sig);
    sa.sa_flags = SA_RESTART;
    for (int sig : LINK_SIGNALS) {
        struct sigaction old;
        if (sigaction(sig, nullptr, &old) == 0 && old.sa_handler != SIG_IGN) sigaction(sig, &sa, nullptr);
    }
}

// Closes the pipe, which ends the command's input, and waits for the command:
// pclose's result.
int close_pipe() {
    FILE *p = open_pipe.stream;
    open_pipe.stream = nullptr;
    pipe_fd = -1;
    int st = pclose(p);
    std::signal(SIGPIPE, SIG_DFL);
    return st;
}

// After a signal: the extract command ends and is waited for, the link goes,
// and the process ends by the signal (status 128 + its number to a shell).
[[noreturn]] void end_by_signal() {
    if (open_pipe.stream != nullptr) close_pipe();
    remove_extraction_link();
    std::fflush(nullptr);
    const int sig = pending_signal;
    std::signal(sig, SIG_DFL);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, sig);
    sigprocmask(SIG_UNBLOCK, &set, nullptr);
    raise(sig);
    _exit(128 + sig);
}

void act_on_signal() {
    if (pending_signal != 0) end_by_signal();
}

// Prints a run argument so that it reads back as itself in a shell: as it is
// when every character is taken literally, else in single quotes.
void print_argument(const char *arg) {
    const bool plain = arg[0] != '\0' && std::strspn(arg, "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                                         "0123456789/._-+,:@=%") == std::strlen(arg);
    if (plain) {
        std::fputs(arg, stdout);
        return;
    }
    std::putchar('\'');
    for (const char *c = arg; *c != '\0'; c++) {
        if (*c == '\'') {
            std::fputs("'\\''", stdout);
        } else {
            std::putchar(*c);
        }
    }
    std::putchar('\'');
}

// Offers the run command on a terminal, showing it with its values and its
// arguments. The status of run_shell after a yes, 0 after a no or when the
// input ends before an answer.
int offer_run_command(const char *cmd, const char *shown) {
    std::printf("This archive requires more processing using the following command:\n");
    std::printf("    %s\n", shown);
    if (run_arg_count > 0) {
        std::printf("with the arguments:");
        for (int i = 0; i < run_arg_count; i++) {
            std::putchar(' ');
            print_argument(run_args[i]);
        }
        std::putchar('\n');
    }
    if (!isatty(STDIN_FILENO)) {
        std::printf("but stdin is not a terminal. So forget it.\n");
        std::fflush(stdout);
        return 0;
    }
    std::printf("OK to run the command? ");
    for (;;) {
        std::fflush(stdout);
        char buf[ANSWER_BUF];
        if (!read_answer(buf, ANSWER_BUF - 1)) return 0;  // end of input: no
        act_on_signal();  // one that came while the question waited
        int c = std::toupper(static_cast<unsigned char>(buf[0]));
        if (c == 'N') return 0;
        if (c == 'Y') return run_shell(cmd, run_args, run_arg_count);
        std::printf("\n? (y/n): ");
    }
}

// Runs the run program after a successful extraction; its status.
int run_after_extraction(const char *program) {
    if (dont_run_program || run_program[0] == '\0') return 0;
    export_features();  // first: the placeholders' variables are set over any word of the list
    char *shown_text = nullptr;
    HeapBlock cmd(replace_program_parms(run_program, &shown_text));
    HeapBlock shown(shown_text);
    if (!cmd) return -1;
    std::fflush(nullptr);  // our own lines come before the command's output
    if (verbose) return offer_run_command(cmd.get(), shown.get());
    int status = run_shell(cmd.get(), run_args, run_arg_count);
    // Any end but exit status 0 is a failure: also a command killed by a
    // signal, whose exit status byte stays 0, and a shell that did not start.
    if (status != 0) report_apart(program, "final processing of %s failed\n\nCommand: %s", ofname, shown.get());
    return status;
}

// Exit handler: lets the extract command finish before the process is gone.
void close_pipe_at_exit() {
    if (open_pipe.stream != nullptr) close_pipe();
}

// Its report names the archive, as the run program's does.
void report_extraction_failed() {
    report_apart(open_pipe.program, "extraction of %s failed\n\nCommand: %s", ofname, open_pipe.pcmd);
}

// write_error's hook: a broken pipe means the extract command stopped reading
// before the end of the payload. That is its failure, not a write error of
// ours: wait for it and report it as such.
void pipe_write_failed(int err) {
    act_on_signal();  // the pipe was taken from the command on purpose
    if (err != EPIPE || open_pipe.stream == nullptr) return;
    close_pipe();
    report_extraction_failed();
    abort_gzip();
}

// Closes the pipe, waits for the extract command and judges its end.
bool extract_command_succeeded() {
    int st = close_pipe();
    act_on_signal();
    if (st != -1 && WIFEXITED(st) && WEXITSTATUS(st) == 0) return true;
    report_extraction_failed();
    return false;
}

// Shows the comment and, with -v or -x, the output's name before the payload
// is written, or before the report that it is damaged. Nothing with -q.
void announce() {
    progress_clear();  // a damaged payload is reported while the check's line shows
    if (quiet) return;
    if (comment[0] != '\0') std::fprintf(stderr, "\n%s\n\nPlease wait...\n", comment);
    if (verbose || extract_only) std::fprintf(stderr, "Deflating %s...\n", ofname);
}

// Starts the progress line of a phase that reads the payload from the
// current position of the archive on; limit: the payload's size when known
// (COPY_TO_END: up to the end of the file).
void progress_of_payload(const char *what, counter_t limit) {
    struct stat sb;
    off_t at = lseek(ifd, 0, SEEK_CUR);
    counter_t payload = limit != COPY_TO_END       ? limit
                        : fstat(ifd, &sb) == 0 ? static_cast<counter_t>(sb.st_size) - preamble_end
                                               : -1;
    progress_start(what, ofname, payload, at >= 0 ? static_cast<counter_t>(at) - preamble_end : 0);
}

// The payload check (see the head of this unit): false after its message when
// the payload must not be extracted; a corrupt member ends the process in the
// decoder. A checked member leaves the input on its first DEFLATE byte again,
// with buffers, counters, window and output as open_archive and get_method
// left them: the decode that follows starts as from a fresh run (unzip resets
// the CRC, inflate its bit buffer and tables), so it writes exactly the bytes
// that were checked. An archive that cannot be sought (read
// twice) streams unchecked.
bool check_payload(const char *program, bool data_compressed, int member_method) {
    if (skip_payload_check || !data_compressed) return true;
    if (member_method == -1) {
        report_as(program, "unknown compression method");
        return false;
    }
    const off_t at = lseek(ifd, 0, SEEK_CUR);
    if (at < 0) return true;
    const off_t deflate_start = at - static_cast<off_t>(insize - inptr);
    progress_of_payload("checking", COPY_TO_END);
    before_fatal_report = announce;  // a damaged payload reads as it always did
    unzip(ifd, DISCARD_OUTPUT);
    before_fatal_report = nullptr;
    progress_end();
    if (lseek(ifd, deflate_start, SEEK_SET) != deflate_start) read_error();
    clear_bufs();
    // A match may reach before the member's first byte: it reads the zeros
    // the window held at start, in this decode as in the one that follows.
    std::memset(window, 0, sizeof window);
    ofd = STDOUT_FILENO;
    return true;
}

// Steps from the payload on: output, transfer, the commands. The archive is
// open as ifd at its payload; the caller closes it and removes a link. A raw
// payload is copied up to raw_limit bytes (the signature follows it).
int extract_payload(char *program, bool data_compressed, counter_t raw_limit) {
    FILE *p = nullptr;
    HeapBlock pcmd, shown;  // the command that runs, and as the user sees it
    if (extract_only) {
        to_stdout = 1;
    } else {
        if (pipe_program[0] == '\0') std::strcpy(pipe_program, DEFAULT_EXTRACT);
        char *shown_text = nullptr;
        pcmd.reset(replace_program_parms(pipe_program, &shown_text));
        shown.reset(shown_text);
        if (!pcmd) return -1;
        std::fflush(nullptr);  // nothing buffered may be written twice by the child
        p = popen(pcmd.get(), "w");
        if (p == nullptr) {
            report_errno(shown.get());
            return -1;
        }
        [[maybe_unused]] static const int exit_handler = std::atexit(close_pipe_at_exit);
        open_pipe = {p, program, shown.get()};
        write_error_hook = pipe_write_failed;
        std::signal(SIGPIPE, SIG_IGN);
        to_stdout = 0;
        ofd = fileno(p);
        pipe_fd = ofd;
        // A signal that came while the command started found no pipe to end.
        if (pending_signal != 0 && dead_end >= 0) dup2(dead_end, ofd);
    }

    announce();

    // A progress line, unless the payload itself goes to the terminal.
    if (!(extract_only && isatty(STDOUT_FILENO))) progress_of_payload("extracting", raw_limit);
    // A raw payload that is empty counts as a failed transfer (status 1).
    int status = data_compressed ? unzip(ifd, ofd) : copy_fully(ifd, ofd, raw_limit) == 0 ? 1 : 0;
    progress_end();

    if (p != nullptr) {
        std::fflush(p);
    } else {
        std::fflush(nullptr);
    }
    sleep(PAUSE_SECONDS);
    act_on_signal();
    if (extract_only) return status;

    // Closing the pipe ends the command's input; pclose waits for it.
    if (!extract_command_succeeded()) return 1;
    pcmd.reset();
    shown.reset();
    if (status != 0) return status;
    return run_after_extraction(program);
}

}  // namespace

int do_decompress(char *program) {
    char sympath[LINK_PATH_BUF] = {};
    int status = -1;

    ArchiveEnd end;
    int fd = open_archive(program, &end);
    if (fd == -1) return status;
    // A signed archive proves itself before anything else happens, and with
    // -k every archive must; archive_signed() then says that the payload is
    // the one signed. Its signature block is no payload.
    if (check_signature(fd, program) != 0) {
        close(fd);
        return status;
    }
    const counter_t raw_limit = archive_signed() ? end.payload_size : COPY_TO_END;

    // The payload's form; the member header reader names the output.
    bool data_compressed;
    int member_method;
    if (get_feature(NOCOMPR_FLAG) != nullptr) {
        data_compressed = false;
        member_method = 0;
        const char *name = get_feature(NAME_KEY);
        const char *eq = name != nullptr ? std::strchr(name, '=') : nullptr;
        if (eq != nullptr) set_ofname(eq + 1);
    } else {
        data_compressed = true;
        member_method = get_method(ifd);
    }

    // Before anything is created, linked, written or started. A signed
    // archive has been checked whole by its signature: it is not read twice.
    if (!archive_signed() && !check_payload(program, data_compressed, member_method)) {
        close(fd);
        return status;
    }

    const char *vfyfs = get_feature(VFYFS_KEY);
    if (!extract_only && vfyfs != nullptr && std::strchr(vfyfs, '=') != nullptr && end.known) {
        if (!verify_fs(megs_needed(data_compressed, end), sympath)) {
            close(fd);
            return -1;  // the check printed its messages and left no link
        }
        if (sympath[0] != '\0') catch_link_signals();
        act_on_signal();
    }

    if (member_method == -1) {
        report_as(program, "unknown compression method");
    } else {
        status = extract_payload(program, data_compressed, raw_limit);
    }

    close(fd);
    // The link made for sympath, if any; one left behind fails the run.
    if (!remove_extraction_link() && status == 0) status = 1;
    act_on_signal();  // one that came while the run program ran
    return status;
}

int run_shell(const char *cmd, char *const *args, int nargs) {
    std::unique_ptr<char *, FreeDeleter> vector(
        static_cast<char **>(std::calloc(static_cast<size_t>(nargs) + 5, sizeof(char *))));
    if (!vector) return -1;
    char **argv = vector.get();
    argv[0] = const_cast<char *>("sh");
    argv[1] = const_cast<char *>("-c");
    argv[2] = const_cast<char *>(cmd);
    argv[3] = const_cast<char *>("kivra");
    for (int i = 0; i < nargs; i++) argv[4 + i] = args[i];

    struct sigaction ignore = {}, old_int, old_quit;
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGINT, &ignore, &old_int);
    sigaction(SIGQUIT, &ignore, &old_quit);
    sigset_t chld, old_mask, to_default;
    sigemptyset(&chld);
    sigaddset(&chld, SIGCHLD);
    sigprocmask(SIG_BLOCK, &chld, &old_mask);
    // The command gets the mask from before, and SIGINT and SIGQUIT back
    // unless they were ignored when we were started.
    sigemptyset(&to_default);
    if (old_int.sa_handler != SIG_IGN) sigaddset(&to_default, SIGINT);
    if (old_quit.sa_handler != SIG_IGN) sigaddset(&to_default, SIGQUIT);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    posix_spawnattr_setsigmask(&attr, &old_mask);
    posix_spawnattr_setsigdefault(&attr, &to_default);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    int status = -1;
    pid_t pid;
    if (posix_spawn(&pid, "/bin/sh", nullptr, &attr, argv, environ) == 0) {
        while (waitpid(pid, &status, 0) < 0) {
            if (errno != EINTR) {
                status = -1;
                break;
            }
        }
    }
    posix_spawnattr_destroy(&attr);
    sigaction(SIGINT, &old_int, nullptr);
    sigaction(SIGQUIT, &old_quit, nullptr);
    sigprocmask(SIG_SETMASK, &old_mask, nullptr);
    return status;
}

// Every word of the list as the listing shows it becomes a variable: a
// KEY=value word as it is (the name ends at its first '='), a bare flag with
// an empty value. Trailing blanks are cut; an empty word names no variable.
// The strings belong to the environment from putenv on.
void export_features() {
    for (std::string_view word : feature_words()) {
        const size_t size = word.size() + 2;  // room for a flag's '=' and the NUL
        char *entry = static_cast<char *>(std::malloc(size));
        if (entry == nullptr) fail_apart("%s: out of memory", ifname);
        std::memcpy(entry, word.data(), word.size());
        entry[word.size()] = '\0';
        if (strtrim(entry) == 0) {
            std::free(entry);
            continue;
        }
        if (std::strchr(entry, '=') == nullptr) std::strcat(entry, "=");
        putenv(entry);
    }
}
