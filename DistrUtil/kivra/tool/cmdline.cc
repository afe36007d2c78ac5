// cmdline.cc - program entry: the command line and the choice of role.
//
// One executable is builder, extractor and utility. Start-up searches the
// program's own file for an archive trailer: found, the process is an archive
// (is_compressed). Options are then read in command-line order, and several of
// them look at is_compressed when they are met, so "-u" changes how later
// options count, never earlier ones. After the options the first rule that
// applies picks the role: listing, usage error, extraction, building. Every
// role ends the process through exit: 0 for success, 1 for failure.
//
// Every value that goes into a fixed buffer is measured first; a value that does
// not fit is refused with one line naming it and its limit, and the run ends
// with status 1 before anything is written.
//
// A "--" that getopt would take as the end of the options ends them; on an
// extraction, the words after it are the run program's arguments (run_args),
// whatever they look like. The builder and the listing take them as operands,
// as always.
//
// The builder role lives in builder.cc.
//
// Every role ends through finish, which flushes and closes standard output
// first: a listing or a prompt that could not be written is a write error,
// never a silent success.
#include "kivra.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <stdio_ext.h>
#include <sys/stat.h>
#include <unistd.h>

// Ends the run with status after flushing and closing standard output. A
// failure there ends it through write_error (status 1) instead; a standard
// output that was closed from the start counts only when something was left
// to write to it.
[[noreturn]] void finish(int status) {
    const bool pending = __fpending(stdout) != 0;
    const bool failed_before = std::ferror(stdout) != 0;
    errno = 0;
    const bool close_failed = std::fclose(stdout) != 0;
    if (failed_before || (close_failed && (pending || errno != EBADF))) {
        if (!close_failed || errno == 0) errno = EIO;
        std::strcpy(ofname, "stdout");
        write_error();
    }
    std::exit(status);
}

namespace {

constexpr const char OPTIONS[] = "h?ucvxnlaqsp:C:r:f:V:S:t:O:F:K:k:j:";
constexpr const char DEFAULT_COMMENT[] = "Self-Extracting archive file";

// Copies an option value into one of the 1024-byte text buffers.
void set_text(char *dst, int opt, const char *value) {
    if (std::strlen(value) > TEXT_MAX)
        fail("value of -%c is longer than %u characters", opt, TEXT_MAX);
    std::memcpy(dst, value, std::strlen(value) + 1);
}

// Index of the "--" that ends the options, as getopt walks argv (operands
// passed over, option values skipped); argc when there is none.
int end_of_options(int argc, char **argv) {
    for (int i = 1; i < argc; i++) {
        const char *a = argv[i];
        if (std::strcmp(a, "--") == 0) return i;
        if (a[0] != '-') continue;
        for (const char *c = a + 1; *c != '\0'; c++) {
            const char *o = *c == ':' ? nullptr : std::strchr(OPTIONS, *c);
            if (o != nullptr && o[1] == ':') {
                if (c[1] == '\0') i++;  // the value is the next word
                break;
            }
        }
    }
    return argc;
}

// The value of -j: a number of threads from 1 to MAX_JOBS, digits only.
unsigned parse_jobs(const char *value) {
    unsigned n = 0;
    for (const char *p = value; *p != '\0'; p++) {
        if (*p < '0' || *p > '9' || n > MAX_JOBS) {
            n = 0;
            break;
        }
        n = n * 10 + static_cast<unsigned>(*p - '0');
    }
    if (n < 1 || n > MAX_JOBS) fail("-j needs a number of threads from 1 to %u", MAX_JOBS);
    return n;
}

}  // namespace

// Formats key + value as one feature word in buf and appends it to the list.
// The word is one get_feature returns whole.
void add_keyed_feature(const char *key, const char *value, const char *what) {
    char buf[FEATURE_WORD_MAX + 1];
    int n = std::snprintf(buf, sizeof buf, "%s%s", key, value);
    if (n < 0 || static_cast<unsigned>(n) >= sizeof buf)
        fail("%s: \"%s\" and its value hold at most %u characters", what, key, FEATURE_WORD_MAX);
    if (add_feature(buf) != 0) std::exit(1);
}

void check_operand(const char *name) {
    if (std::strlen(name) > TEXT_MAX)
        fail("file name longer than %u characters: %.40s...", TEXT_MAX, name);
}

void Usage(int is_compressed) {
    std::fprintf(stderr, "Version: %s\n", scid);
    if (!is_compressed) {
        std::fprintf(stderr,
                     "Usage: %s [-huclva] [-p kivra_path] [-C 'comment'] [-f 'extract_shell_cmds'] "
                     "[-r 'run_program_after_extraction'] [-V 'filesystem'] [-S 'fssub'] "
                     "[-F feature_sting] <files...>\n",
                     progname);
        std::fputs("    -K key: sign the archive with this Ed25519 key (through ssh-keygen -Y sign)\n"
                   "    -q: quiet: no progress line, only errors\n"
                   "    -j N: compress on N threads (default: the CPUs it may run on); the archive is the same\n",
                   stderr);
        return;
    }
    std::fprintf(stderr, "\n%s\n\n", comment);
    std::fprintf(stderr, "Usage: %s [-hclnvtx]\n", progname);
    std::fputs("    -h: show this help\n"
               "    -u: use as utility to decompress archive specified on command-line\n"
               "    -l: list compression statistics\n"
               "    -c: extract to stdout instead of archive name\n"
               "    -x: extract only. do not deflate the archive\n"
               "    -n: do not run install command after deflating archive\n"
               "    -t: temp path for decompression if archive allows\n"
               "    -v: verbose output\n",
               stderr);
    std::fputs("    -k keys: refuse the archive unless it is signed by one of these public keys\n"
               "    -q: quiet: no comment, notes or progress line, only errors\n"
               "    -s: skip the payload check (stream a payload too large to read twice)\n"
               "    -- ARGS...: hand ARGS to the run program as its arguments\n",
               stderr);
}

int kivra_main(int argc, char **argv) {
    if (argc < 1 || argv[0] == nullptr) {
        report("started without a program name");  // progname unset: "kivra"
        std::exit(1);
    }
    progname = argv[0];
    check_operand(argv[0]);
    for (char *b : {run_program, pipe_program, comment, features, kivra_path, uncompress_dir})
        std::memset(b, 0, TEXT_BUF);

    int is_compressed = 0;
    int opt_u = 0;
    int fd = find_preamble(argv[0]);
    if (fd >= 0) {
        close(fd);
        is_compressed = 1;
    }

    // getopt sees the words before "--" only; the "--" itself leaves argv, so
    // that the words after it follow the other operands.
    const int ends = end_of_options(argc, argv);
    if (ends < argc) {
        std::memmove(argv + ends, argv + ends + 1, static_cast<size_t>(argc - ends) * sizeof *argv);
        argc--;
    }
    int c;
    while ((c = getopt(ends, argv, OPTIONS)) != -1) {
        switch (c) {
        case 'u':
            opt_u = 1;
            is_compressed = 1;
            break;
        case 'c': to_stdout = 1; break;
        case 'v': verbose = 1; break;
        case 'x': extract_only = 1; break;
        case 'n': dont_run_program = 1; break;
        case 'l': list = 1; break;
        case 'q': quiet = 1; break;
        case 's': skip_payload_check = 1; break;
        case 'a':
            if (!is_compressed && add_feature(NOCOMPR_FLAG) != 0) std::exit(1);
            break;
        case 'p': set_text(kivra_path, c, optarg); break;
        case 'C': set_text(comment, c, optarg); break;
        case 'r': set_text(run_program, c, optarg); break;
        case 'f': set_text(pipe_program, c, optarg); break;
        case 'V':
            if (!is_compressed) add_keyed_feature(VFYFS_KEY, optarg, "-V");
            break;
        case 'S':
            if (!is_compressed) add_keyed_feature(FSSUB_KEY, optarg, "-S");
            break;
        case 'O':
            if (!is_compressed) add_keyed_feature(F_OEM, optarg, "-O");
            break;
        case 'F':
            if (!is_compressed && add_feature(optarg) != 0) std::exit(1);
            break;
        case 'j':
            if (!is_compressed) jobs = parse_jobs(optarg);
            break;
        case 't':
            if (is_compressed) set_text(uncompress_dir, c, optarg);
            break;
        case 'K':
            if (!is_compressed) set_text(signing_key, c, optarg);
            break;
        case 'k': set_text(trusted_keys, c, optarg); break;
        default:  // -h, -? and every option getopt rejects
            Usage(is_compressed);
            finish(1);
        }
    }

    if (comment[0] == '\0') std::strcpy(comment, DEFAULT_COMMENT);
    if (kivra_path[0] == '\0') {
        // A path that does not fit leaves kivra_path empty; the builder then
        // refuses to run and asks for -p.
        const char *self = find_program(argv[0]);
        if (self != nullptr && std::strlen(self) <= TEXT_MAX) std::strcpy(kivra_path, self);
    }

    char **operands = argv + optind;
    const int count = argc - optind;

    if (list) {
        if (count == 0 || is_compressed) {
            do_list(argv[0]);
        } else {
            for (int i = 0; i < count; i++) check_operand(operands[i]);
            for (int i = 0; i < count; i++) do_list(operands[i]);
        }
        finish(exit_code);
    }
    if (count == 0 && !is_compressed) {
        Usage(0);
        report("what files do you want to compress?");
        finish(1);
    }
    if (is_compressed) {
        run_args = argv + ends;
        run_arg_count = argc - ends;
        if (opt_u && ends == optind) fail("-u needs the name of the archive to extract");
        char *archive = opt_u ? operands[0] : argv[0];
        check_operand(archive);
        finish(do_decompress(archive) == 0 ? 0 : 1);
    }
    build(operands, count);
}
