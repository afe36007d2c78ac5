// fuzz_trailer.cc - the input as a whole archive file (stub, magic, four
// strings, payload), written to an executable temporary file and opened with
// find_preamble.
//
// The harness works out independently what the reader must find: the first
// magic in the file, then four strings, each ending after its NUL or at the
// end of the file. Checked on every input:
//  - no magic: -1, and no descriptor left open;
//  - a magic followed by strings of at most 1023 bytes: a descriptor standing
//    at preamble_end, the four buffers holding exactly those strings, and
//    preamble_end just after the last string;
//  - a longer string (a foreign file; the reader may cut it or refuse the
//    file): every buffer NUL-terminated inside its 1024 bytes and, when the
//    file is accepted, preamble_end after the magic and within the file.
// Buffers are filled with a non-zero pattern before each call so a missing
// terminator or a stale string shows. Leak detection stays on: the search
// buffer must be released on every path.
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "fuzz_kit.h"
#include "kivra.h"

namespace {

constexpr size_t MAGIC_LEN = 11;

// The magic is put together at run time, reversed in the source, so the
// harness binary does not carry it as one piece of constant data either.
const char *magic() {
    static char m[MAGIC_LEN + 1];
    if (m[0] == 0) {
        static const char reversed[] = "kigam+arvik";
        for (size_t i = 0; i < MAGIC_LEN; i++) m[i] = reversed[MAGIC_LEN - 1 - i];
    }
    return m;
}

std::string archive_dir;
char archive_path[PATH_MAX];

void remove_archive() {
    unlink(archive_path);
    rmdir(archive_dir.c_str());
}

void stage_archive(const uint8_t *data, size_t size) {
    if (archive_dir.empty()) {
        const char *tmp = std::getenv("TMPDIR");
        std::string templ = std::string(tmp != nullptr && *tmp ? tmp : "/tmp") + "/kivra-fuzz-XXXXXX";
        if (mkdtemp(templ.data()) == nullptr) fuzzkit::fail("mkdtemp %s failed", templ.c_str());
        archive_dir = templ;
        std::snprintf(archive_path, sizeof archive_path, "%s/archive", archive_dir.c_str());
        std::atexit(remove_archive);
    }
    int fd = open(archive_path, O_WRONLY | O_CREAT | O_TRUNC, 0755);
    if (fd < 0 || fchmod(fd, 0755) != 0) fuzzkit::fail("cannot create %s", archive_path);
    size_t done = 0;
    while (done < size) {
        ssize_t w = write(fd, data + done, size - done);
        if (w <= 0) fuzzkit::fail("cannot write %s", archive_path);
        done += static_cast<size_t>(w);
    }
    close(fd);
}

// The lowest free descriptor number: equal before and after a call unless
// the call left a descriptor open.
int lowest_free_fd() {
    int fd = open("/dev/null", O_RDONLY);
    if (fd < 0) fuzzkit::fail("cannot open /dev/null");
    close(fd);
    return fd;
}

struct Expected {
    bool found = false;       // a magic is in the file
    bool oversized = false;   // some string exceeds 1023 bytes
    std::string strings[4];
    long long end = 0;        // offset after the last string
    long long magic_end = 0;  // offset after the magic
};

Expected expect(const uint8_t *data, size_t size) {
    Expected x;
    const void *hit = memmem(data, size, magic(), MAGIC_LEN);
    if (hit == nullptr) return x;
    x.found = true;
    size_t p = static_cast<size_t>(static_cast<const uint8_t *>(hit) - data) + MAGIC_LEN;
    x.magic_end = static_cast<long long>(p);
    for (auto &s : x.strings) {
        while (p < size && data[p] != 0) s.push_back(static_cast<char>(data[p++]));
        if (p < size) p++;  // the NUL
        if (s.size() > TEXT_MAX) x.oversized = true;
    }
    x.end = static_cast<long long>(p);
    return x;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzzkit::init_once();
    stage_archive(data, size);
    char *const bufs[4] = {features, comment, run_program, pipe_program};
    const char *const names[4] = {"features", "comment", "run_program", "pipe_program"};
    for (char *b : bufs) std::memset(b, 'Z', TEXT_BUF);
    preamble_end = -1;

    const Expected x = expect(data, size);
    const int free_before = lowest_free_fd();
    char program[PATH_MAX];
    std::strcpy(program, archive_path);
    const int fd = find_preamble(program);

    if (fd < 0) {
        FUZZ_CHECK(lowest_free_fd() == free_before, "a failed search left a descriptor open");
        FUZZ_CHECK(!x.found || x.oversized, "magic ending at %lld not found", x.magic_end);
        return 0;
    }
    FUZZ_CHECK(x.found, "a file without the magic was accepted (descriptor %d)", fd);
    for (int i = 0; i < 4; i++)
        FUZZ_CHECK(std::memchr(bufs[i], 0, TEXT_BUF) != nullptr, "%s is not terminated in its buffer",
                   names[i]);
    FUZZ_CHECK(preamble_end >= x.magic_end && preamble_end <= static_cast<long long>(size),
               "preamble_end %lld outside %lld..%zu", preamble_end, x.magic_end, size);
    const long long at = lseek(fd, 0, SEEK_CUR);
    FUZZ_CHECK(at == preamble_end, "descriptor at %lld, preamble_end %lld", at, preamble_end);
    if (!x.oversized) {
        for (int i = 0; i < 4; i++)
            FUZZ_CHECK(x.strings[i] == bufs[i], "%s: read \"%.40s\", file holds \"%.40s\"", names[i], bufs[i],
                       x.strings[i].c_str());
        FUZZ_CHECK(preamble_end == x.end, "preamble_end %lld, strings end at %lld", preamble_end, x.end);
    }
    close(fd);
    return 0;
}
