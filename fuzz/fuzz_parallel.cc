// fuzz_parallel.cc - the input as a recipe for a file of 64 KiB to 1 MiB,
// compressed into one member on one thread and again on 2..9 threads in
// pieces of 32..128 KiB (both chosen by the first byte); the two members must
// be byte for byte the same.
//
// Recipe: after the first byte, pairs (op, n): op % 4 picks literal bytes
// (the next n bytes of the recipe), a run of (n + 1) * 64 bytes of op, a
// copy of (n + 1) * 16 bytes from (op * 257 + n) % size bytes back (long
// matches and periodic data), or (n + 1) * 64 bytes of noise (stored
// blocks). The file repeats from its start while shorter than 64 KiB, so
// every recipe gets seams.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

#include "fuzz_kit.h"
#include "stream.h"

namespace {

std::string cook(const uint8_t *p, size_t n) {
    std::string d;
    uint32_t noise = 2463534242u;
    for (size_t i = 0; i + 1 < n && d.size() < (1u << 20); i += 2) {
        const unsigned op = p[i], arg = p[i + 1];
        switch (op % 4) {
        case 0: d.append(reinterpret_cast<const char *>(p + i + 2), std::min<size_t>(arg, n - i - 2)), i += arg; break;
        case 1: d.append((arg + 1) * 64u, static_cast<char>(op)); break;
        case 2:
            for (size_t k = 0, from = d.empty() ? 0 : d.size() - 1 - (op * 257u + arg) % d.size(); k < (arg + 1) * 16u && !d.empty(); k++)
                d.push_back(d[from + k]);
            break;
        default:
            for (unsigned k = 0; k < (arg + 1) * 64u; k++) {
                noise ^= noise << 13;
                noise ^= noise >> 17;
                noise ^= noise << 5;
                d.push_back(static_cast<char>(noise));
            }
        }
    }
    if (d.empty()) d.push_back('x');
    for (const std::string once = d; d.size() < 2 * WSIZE;) d += once;
    return d;
}

std::string member(const std::string &data, unsigned threads, unsigned chunk) {
    const int in = fuzzkit::input_fd(reinterpret_cast<const uint8_t *>(data.data()), data.size());
    static const int out = memfd_create("kivra-fuzz-output", 0);
    FUZZ_CHECK(out >= 0 && ftruncate(out, 0) == 0 && lseek(out, 0, SEEK_SET) == 0, "cannot reset the output file");
    zip_threads = threads;
    zip_chunk = chunk;
    bytes_in = 0;
    zip(in, out);
    std::string m(static_cast<size_t>(lseek(out, 0, SEEK_CUR)), '\0');
    FUZZ_CHECK(pread(out, m.data(), m.size(), 0) == static_cast<ssize_t>(m.size()), "cannot read the member back");
    return m;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzzkit::init_once();
    if (size == 0) return 0;
    const std::string file = cook(data + 1, size - 1);
    std::strcpy(ifname, "fuzz-input");
    const std::string one = member(file, 1, WSIZE);
    const unsigned threads = 2 + data[0] % 8, chunk = WSIZE * (1 + data[0] / 8 % 4);
    const std::string many = member(file, threads, chunk);
    FUZZ_CHECK(one == many, "%zu input bytes: %u threads in pieces of %u bytes write another member", file.size(),
               threads, chunk);
    return 0;
}
