// extraction.cc - the extractor role: reopen the archive at its payload,
// check for room, stream the payload (decoded, or raw) into the archive's
// extract command, then export the feature list and run, or offer, the
// archive's run program.
//
// The driver is the only place where the archive's two shell commands are
// started, one at a time, each waited for. It judges the extract command by
// its exit status: a failed extraction is reported and the run program is
// not started. While the pipe is open, a broken pipe is an ordinary write
// error (SIGPIPE is ignored for that span only, so neither command inherits
// the setting): the process then ends through the write-error path.
//
// A fatal error while the pipe is open (corrupt data, a failed write) ends the
// process through exit. An exit handler then closes the pipe and waits for the
// extract command first, and only after that does the free-space check's own
// handler remove a temporary link: the command never loses the link while it
// may still be writing through it. (Exit handlers run in reverse order of
// registration, and the link is always made before the pipe is opened.)
#include "kivra.h"
#include "ss.h"

#include <cctype>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
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

// Offers the run command on a terminal. The status of system() after a yes,
// 0 after a no or when the input ends before an answer.
int offer_run_command(const char *cmd) {
    std::printf("This archive requires more processing using the following command:\n");
    std::printf("    %s\n", cmd);
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
        int c = std::toupper(static_cast<unsigned char>(buf[0]));
        if (c == 'N') return 0;
        if (c == 'Y') return std::system(cmd);
        std::printf("\n? (y/n): ");
    }
}

// Runs the run program after a successful extraction; its status.
int run_after_extraction(const char *program) {
    if (dont_run_program || run_program[0] == '\0') return 0;
    HeapBlock cmd(replace_program_parms(run_program));
    if (!cmd) return -1;
    export_features();
    std::fflush(nullptr);  // our own lines come before the command's output
    if (verbose) return offer_run_command(cmd.get());
    int status = std::system(cmd.get());
    if (((status >> 8) & 0xff) != 0) {
        std::fprintf(stderr, "\n%s: final processing of %s failed\n", program, ofname);
        std::fprintf(stderr, "\nCommand: %s\n", cmd.get());
    }
    return status;
}

FILE *open_pipe;  // the extract command's pipe while the transfer runs

// Exit handler: lets the extract command finish before the process is gone.
void close_pipe_at_exit() {
    if (open_pipe == nullptr) return;
    FILE *p = open_pipe;
    open_pipe = nullptr;
    pclose(p);
}

// Closes the pipe, waits for the extract command and judges its end.
// Its report names the archive, as the run program's does.
bool extract_command_succeeded(FILE *p, const char *pcmd, const char *program) {
    open_pipe = nullptr;
    int st = pclose(p);
    std::signal(SIGPIPE, SIG_DFL);
    if (st != -1 && WIFEXITED(st) && WEXITSTATUS(st) == 0) return true;
    std::fprintf(stderr, "\n%s: extraction of %s failed\n", program, ofname);
    std::fprintf(stderr, "\nCommand: %s\n", pcmd);
    return false;
}

// Steps from the payload on: output, transfer, the commands. fd is the open
// archive; the caller closes it and removes a link.
int extract_payload(char *program, bool data_compressed) {
    FILE *p = nullptr;
    HeapBlock pcmd;
    if (extract_only) {
        to_stdout = 1;
    } else {
        if (pipe_program[0] == '\0') std::strcpy(pipe_program, DEFAULT_EXTRACT);
        pcmd.reset(replace_program_parms(pipe_program));
        if (!pcmd) return -1;
        std::fflush(nullptr);  // nothing buffered may be written twice by the child
        p = popen(pcmd.get(), "w");
        if (p == nullptr) {
            std::perror(pcmd.get());
            return -1;
        }
        static const bool handler_set = std::atexit(close_pipe_at_exit) == 0;
        if (handler_set) open_pipe = p;
        std::signal(SIGPIPE, SIG_IGN);
        to_stdout = 0;
        ofd = fileno(p);
    }

    if (comment[0] != '\0') std::fprintf(stderr, "\n%s\n\nPlease wait...\n", comment);
    if (verbose || extract_only) std::fprintf(stderr, "Deflating %s...\n", ofname);

    // A raw payload that is empty counts as a failed transfer (status 1).
    int status = data_compressed ? unzip(ifd, ofd) : copy_fully(ifd, ofd) == 0 ? 1 : 0;

    if (p != nullptr) {
        std::fflush(p);
    } else {
        std::fflush(nullptr);
    }
    sleep(PAUSE_SECONDS);
    if (extract_only) return status;

    // Closing the pipe ends the command's input; pclose waits for it.
    if (!extract_command_succeeded(p, pcmd.get(), program)) return 1;
    pcmd.reset();
    if (status != 0) return status;
    return run_after_extraction(program);
}

}  // namespace

int do_decompress(char *program) {
    char sympath[512] = {};
    int status = -1;

    ArchiveEnd end;
    int fd = open_archive(program, &end);
    if (fd == -1) return status;

    // The payload's form; the member header reader names the output.
    bool data_compressed;
    int member_method;
    if (get_feature("NOCOMPR") != nullptr) {
        data_compressed = false;
        member_method = 0;
        const char *name = get_feature("NAME=");
        const char *eq = name != nullptr ? std::strchr(name, '=') : nullptr;
        if (eq != nullptr) set_ofname(eq + 1);
    } else {
        data_compressed = true;
        member_method = get_method(ifd);
    }

    const char *vfyfs = get_feature("VFYFS=");
    if (!extract_only && vfyfs != nullptr && std::strchr(vfyfs, '=') != nullptr && end.known) {
        if (!verify_fs(megs_needed(data_compressed, end), sympath)) {
            close(fd);
            return -1;  // the check printed its messages and left no link
        }
    }

    if (member_method == -1) {
        report_as(program, "unknown compression method");
    } else {
        status = extract_payload(program, data_compressed);
    }

    close(fd);
    if (sympath[0] != '\0') remove_extraction_link();  // the link made for sympath
    return status;
}

void export_features() {
    APLIST ap = ap_strsplit(features, ",");
    if (ap == nullptr) return;
    for (void **item = ap; *item != nullptr; item++) {
        char *word = static_cast<char *>(*item);
        strtrim(word);
        if (word[0] == '\0') continue;  // an empty word names no variable
        char *entry;
        if (std::strchr(word, '=') != nullptr) {
            entry = strdup(word);
        } else {
            size_t size = std::strlen(word) + 2;
            entry = static_cast<char *>(std::malloc(size));
            if (entry != nullptr) std::snprintf(entry, size, "%s=", word);
        }
        if (entry == nullptr) error("out of memory");
        putenv(entry);  // the environment owns it from here on
    }
    ap_destroy(ap);
}
