// builder.cc - the builder role: stub, trailer, then every input raw or compressed.
//
// The archive goes to standard output in one pass: the stub (normally this
// program's own file) and the trailer first, then each input as a gzip member
// or, with NOCOMPR, byte for byte. What the trailer records about the inputs
// (their exact total from 4 GiB on, the first input's base name) is therefore
// settled before the first byte is written, and so is the check of its two
// commands: a placeholder where no reference to its value is safe is refused. An input that cannot be opened is
// skipped with a message; read and write errors end the run, so a short
// archive never passes for a good one. With -K, ssh-keygen reads along
// everything written and its signature ends the archive (signature.cc).
#include "kivra.h"
#include "ss.h"

#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <fcntl.h>
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Bytes the inputs that can be opened hold (the builder skips the others), or
// -1 when one of them is no regular file: its size is known only once it has
// been read.
counter_t inputs_total(char **operands, int count) {
    counter_t total = 0;
    for (int i = 0; i < count; i++) {
        struct stat st;
        if (stat(operands[i], &st) != 0) continue;
        if (!S_ISREG(st.st_mode)) return -1;
        const int fd = open(operands[i], O_RDONLY);
        if (fd < 0) continue;
        if (fstat(fd, &st) == 0) total += static_cast<counter_t>(st.st_size);
        close(fd);
    }
    return total;
}

// The compressor's threads: -j, else the CPUs this process may run on. The
// piece size may be set by KIVRA_CHUNK (bytes), for tests that want many
// pieces from small inputs; the archive does not depend on either.
void set_threads() {
    unsigned n = jobs;
    cpu_set_t cpus;
    if (n == 0) n = sched_getaffinity(0, sizeof cpus, &cpus) == 0 ? static_cast<unsigned>(CPU_COUNT(&cpus)) : 1;
    zip_threads = n < 1 ? 1 : n > MAX_JOBS ? MAX_JOBS : n;
    if (const char *chunk = std::getenv("KIVRA_CHUNK")) zip_chunk = static_cast<unsigned>(std::strtoul(chunk, nullptr, 10));
}

}  // namespace

// The builder role: stub, trailer, then every operand raw or compressed.
void build(char **operands, int count) {
    for (int i = 0; i < count; i++) check_operand(operands[i]);
    if (kivra_path[0] == '\0')
        fail("cannot find this program's own file to copy as the archive's stub; name it with -p");

    prepare_signing();  // before anything is written: a key that cannot sign is refused

    // The members' size fields hold the total mod 2^32: from 4 GiB on the
    // exact total goes into the trailer, which is written before the members.
    const bool raw = get_feature(NOCOMPR_FLAG) != nullptr;
    const counter_t total = inputs_total(operands, count);
    if (!raw && total >= FOUR_GIB) {
        char digits[24];
        std::snprintf(digits, sizeof digits, "%lld", static_cast<long long>(total));
        add_keyed_feature(TOTAL_SIZE_KEY, digits, "payload size");
    }

    // The name is the last word of the list: a comma in it would add words,
    // which become variables of the run program.
    char name[TEXT_BUF];  // fits: check_operand measured it
    std::strcpy(name, operands[0]);
    const char *base = to_basename(name);
    if (std::strchr(base, ',') != nullptr)
        fail("the first file's name \"%s\" holds a comma, which would add words to the feature list: rename it",
             base);
    add_keyed_feature(NAME_KEY, base, "archive name");
    // A placeholder where its value could run is refused now, not at extraction;
    // both commands are checked, so that both refusals are reported.
    const bool extract_ok = check_program_parms(pipe_program, "-f");
    const bool run_ok = check_program_parms(run_program, "-r");
    if (!extract_ok || !run_ok) finish(1);

    ofd = STDOUT_FILENO;
    std::strcpy(ofname, "stdout");
    set_threads();

    // An input that cannot be opened is skipped with a message. The preamble
    // is written once the first input has opened, so a run that can add no
    // input at all writes nothing and fails.
    bool preamble_written = false;
    progress_start("building", nullptr, total, 0);
    for (int i = 0; i < count; i++) {
        std::strcpy(ifname, operands[i]);
        ifd = open(ifname, O_RDONLY);
        if (ifd < 0) {
            progress_clear();
            report_errno(ifname);
            continue;
        }
        if (!preamble_written) {
            if (signing_key[0] != '\0') start_signing(ofd);
            if (build_preamble(kivra_path, ofd) != 0) finish(1);
            preamble_written = true;
        }
        // Read and write errors end the run: a short archive must not pass
        // for a good one.
        if (raw) {
            copy_fully(ifd, ofd);
        } else {
            zip(ifd, ofd);
        }
        close(ifd);
    }
    progress_end();
    if (!preamble_written) fail("no input file could be opened: no archive written");
    if (signing_key[0] != '\0') finish_signing(ofd);
    finish(exit_code);
}
