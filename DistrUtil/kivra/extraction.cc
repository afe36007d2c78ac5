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
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr const char *DEFAULT_EXTRACT = "cat > %p/%o";
constexpr unsigned MEG = 1048576;
constexpr size_t TRAILER_LEN = 8;    // CRC-32 and ISIZE of the last member
constexpr size_t PIECE = 512;        // raw copy piece; also the prompt's line buffer
constexpr unsigned PAUSE_SECONDS = 2;

// Copies src into ofname, cut to its size.
void set_ofname(const char *src) { std::snprintf(ofname, sizeof ofname, "%s", src); }

// Megabytes the free-space check asks for. A member payload records its
// uncompressed size in its last four bytes; a raw payload is asked for by its
// own length. Leaves ifd where it was. Returns false when the offset cannot
// be had (the check is then skipped).
bool megs_needed(bool data_compressed, int *megs) {
    off_t pos = lseek(ifd, 0, SEEK_CUR);
    if (pos == -1) return false;
    off_t end = lseek(ifd, -static_cast<off_t>(TRAILER_LEN), SEEK_END);
    if (end == -1) read_error();
    bytes_in = static_cast<counter_t>(end) - preamble_end;
    uch ubuf[TRAILER_LEN];
    if (read(ifd, ubuf, TRAILER_LEN) != static_cast<ssize_t>(TRAILER_LEN)) read_error();
    bytes_in += TRAILER_LEN;
    if (data_compressed) {
        *megs = static_cast<int>(get_le32(ubuf + 4) / MEG + 1);
    } else {
        *megs = static_cast<int>(bytes_in / MEG + 1);
    }
    lseek(ifd, pos, SEEK_SET);
    return true;
}

// Copies a raw payload from ifd to ofd. 1 when it is empty, else 0.
int copy_raw() {
    char buf[PIECE];
    ssize_t n = read(ifd, buf, sizeof buf);
    if (n == 0) return 1;
    while (n > 0) {
        write_buf(ofd, buf, static_cast<unsigned>(n));
        progress_add(n);
        n = read(ifd, buf, sizeof buf);
    }
    if (n < 0) read_error();
    return 0;
}

// Reads one answer line into buf (at most size - 1 characters kept, the rest
// of a longer line discarded). false at the end of input.
bool read_answer(char *buf, size_t size) {
    if (std::fgets(buf, static_cast<int>(size), stdin) == nullptr) return false;
    if (std::strchr(buf, '\n') == nullptr) {
        int c;
        while ((c = std::getchar()) != EOF && c != '\n') {
        }
    }
    return true;
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
        char buf[PIECE];
        if (!read_answer(buf, PIECE - 1)) return 0;  // end of input: no
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

    // A progress line, unless the payload itself goes to the terminal.
    if (!(extract_only && isatty(STDOUT_FILENO))) {
        struct stat sb;
        off_t at = lseek(ifd, 0, SEEK_CUR);
        counter_t payload = fstat(ifd, &sb) == 0 ? static_cast<counter_t>(sb.st_size) - preamble_end : -1;
        progress_start("extracting", ofname, payload, at >= 0 ? static_cast<counter_t>(at) - preamble_end : 0);
    }
    int status = data_compressed ? unzip(ifd, ofd) : copy_raw();
    progress_end();

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

    int fd = find_preamble(program);
    if (fd == -1) {
        std::fprintf(stderr, "%s: unable to find preamble magic value\n", program);
        return status;
    }
    ifd = fd;
    std::snprintf(ifname, sizeof ifname, "%s", program);
    ofd = STDOUT_FILENO;
    set_ofname("stdout");

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
    int megs;
    if (!extract_only && vfyfs != nullptr && std::strchr(vfyfs, '=') != nullptr &&
        megs_needed(data_compressed, &megs)) {
        if (!verify_fs(megs, sympath)) {
            close(fd);
            return -1;  // the check printed its messages and left no link
        }
    }

    if (member_method == -1) {
        std::fprintf(stderr, "%s: unknown compression method\n", program);
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
