// Codec benchmark: kivra's compressor and decoder against zlib at the same
// settings (level 9, gzip framing), on the same data in the same run, so that
// the ratio holds even on a busy machine where absolute figures do not.
//
//   build/x86_64/bench/kivra_bench [FILE] [-n REPS] [-j THREADS]
//   build/x86_64/bench/kivra_bench --write-corpus PATH   (for scripts/bench.sh)
//
// Without FILE it runs on a generated corpus (the same bytes on every
// machine) and checks kivra's compressed member against the digest recorded
// below: a faster compressor must not change a compressed byte. CPU time is the
// process's (CLOCK_PROCESS_CPUTIME_ID), best of REPS runs (default 3); kivra
// reads and writes through temporary files as the tool does, zlib works in
// memory, streaming 64 KiB at a time. Ratio = zlib time / kivra time, so a
// ratio above 1 means kivra is faster. The compressor also runs on THREADS
// threads (default: the CPUs the process may run on), reported with its wall
// time beside its CPU time (all threads), and must write the same member.
#include <zlib.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <sched.h>
#include <fcntl.h>
#include <string>
#include <unistd.h>

#include "kivra.h"

namespace {

// FNV-1a of the member the compressor writes for the generated corpus (file
// name "corpus", time stamp 0). Change it only with a change that is meant
// to alter the compressed bytes.
constexpr uint64_t kRecordedDigest = 0x51b85d0a8eddca92ull;
constexpr size_t kCorpusSize = 24u << 20;

uint64_t fnv1a(const std::string &s) {
    uint64_t h = 0xcbf29ce484222325ull;
    for (unsigned char c : s) h = (h ^ c) * 0x100000001b3ull;
    return h;
}

// xorshift64*: a fixed sequence on every platform and library.
struct Rng {
    uint64_t s;
    uint32_t next() {
        s ^= s >> 12;
        s ^= s << 25;
        s ^= s >> 27;
        return static_cast<uint32_t>((s * 0x2545F4914F6CDD1Dull) >> 32);
    }
    uint32_t below(uint32_t n) { return next() % n; }
};

// About what an installer carries: prose and markup, C-like source, tables of
// binary records, runs, and already-compressed (random) stretches, in pieces
// of varying size so that every kind meets the window's edges.
std::string generated_corpus() {
    static const char *const words[] = {
        "the ", "archive ", "of ", "and ", "a ", "to ", "is ", "installer ", "file ", "system ",
        "package ", "for ", "with ", "on ", "this ", "data ", "be ", "by ", "version ", "license ",
        "Copyright ", "(C) ", "free ", "software ", "you ", "can ", "redistribute ", "it ",
        "under ", "terms ", "GNU ", "General ", "Public ", "License, ", "see ", "<http://example.org/> ",
        ".\n", ", ", "\n\n", "-- ", "*", "  "};
    static const char *const types[] = {"int", "unsigned long", "const char *", "struct stat *", "size_t",
                                        "void *", "uint32_t", "double"};
    static const char *const names[] = {"buffer", "length", "offset", "flags", "mode", "count", "index",
                                        "result", "path", "state", "handle", "limit"};
    Rng r{0x9E3779B97F4A7C15ull};
    std::string d;
    d.reserve(kCorpusSize + 70000);
    while (d.size() < kCorpusSize) {
        uint32_t piece = 4000 + r.below(60000);
        size_t end = d.size() + piece;
        switch (r.below(10)) {
        case 0: case 1: case 2: case 3:  // prose
            while (d.size() < end) d += words[r.below(sizeof words / sizeof *words)];
            break;
        case 4: case 5: case 6: {  // source
            while (d.size() < end) {
                char line[160];
                std::snprintf(line, sizeof line, "%*sextern %s %s_%s%u(%s %s);\n", int(r.below(3) * 4), "",
                              types[r.below(8)], names[r.below(12)], names[r.below(12)], r.below(40),
                              types[r.below(8)], names[r.below(12)]);
                d += line;
                if (r.below(8) == 0) d += "#define " + std::string(names[r.below(12)]) + "_MAX " + std::to_string(r.below(99999)) + "\n";
            }
            break;
        }
        case 7: {  // binary records
            uint32_t id = r.next();
            while (d.size() < end) {
                uint32_t rec[4] = {id++, r.below(256), 0x01000000u | r.below(4096), 0};
                d.append(reinterpret_cast<const char *>(rec), sizeof rec);
            }
            break;
        }
        case 8:  // runs
            d.append(piece / 2, '\0');
            d.append(piece / 2, static_cast<char>(' ' + r.below(64)));
            break;
        default:  // compressed
            while (d.size() < end) d.push_back(static_cast<char>(r.next()));
        }
    }
    d.resize(kCorpusSize);
    return d;
}

std::string read_file(const char *path) {
    std::string s;
    int fd = open(path, O_RDONLY);
    if (fd < 0) {
        std::fprintf(stderr, "kivra_bench: %s: %s\n", path, std::strerror(errno));
        std::exit(2);
    }
    char buf[65536];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0) s.append(buf, static_cast<size_t>(n));
    close(fd);
    return s;
}

std::string temp_with(const std::string &data) {
    char path[] = "/tmp/kivra-bench-XXXXXX";
    int fd = mkstemp(path);
    if (fd < 0) {
        std::perror("kivra_bench: mkstemp");
        std::exit(2);
    }
    for (size_t done = 0; done < data.size();) {
        ssize_t w = write(fd, data.data() + done, data.size() - done);
        if (w <= 0) {
            std::perror("kivra_bench: write");
            std::exit(2);
        }
        done += static_cast<size_t>(w);
    }
    close(fd);
    return path;
}

double seconds(clockid_t clock) {
    timespec t;
    clock_gettime(clock, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}
double cpu_seconds() { return seconds(CLOCK_PROCESS_CPUTIME_ID); }

// Best CPU time of `reps` runs of f; *wall, if given, gets the best wall time.
template <typename F>
double best_of(int reps, F f, double *wall = nullptr) {
    double best = 1e30, best_wall = 1e30;
    for (int i = 0; i < reps; i++) {
        double t0 = cpu_seconds(), w0 = seconds(CLOCK_MONOTONIC);
        f();
        double t = cpu_seconds() - t0, w = seconds(CLOCK_MONOTONIC) - w0;
        if (t < best) best = t;
        if (w < best_wall) best_wall = w;
    }
    if (wall != nullptr) *wall = best_wall;
    return best;
}

// kivra's member of the file at `in_path`, written to `out_path`.
void kivra_compress(const std::string &in_path, const std::string &out_path) {
    int in = open(in_path.c_str(), O_RDONLY);
    int out = open(out_path.c_str(), O_WRONLY | O_TRUNC);
    std::strcpy(ifname, "corpus");
    bytes_in = 0;  // the size field holds the run's running total: make it this member's
    zip(in, out);
    close(in);
    close(out);
}

void kivra_decompress(const std::string &member_path) {
    int in = open(member_path.c_str(), O_RDONLY);
    int out = open("/dev/null", O_WRONLY);
    std::strcpy(ifname, "member");
    clear_bufs();
    part_nb = 0;
    ifd = in;
    if (get_method(in) != DEFLATED || unzip(in, out) != 0) {
        std::fprintf(stderr, "kivra_bench: kivra could not decode its own member\n");
        std::exit(1);
    }
    close(in);
    close(out);
}

std::string zlib_compress(const std::string &in) {
    std::string out;
    z_stream z{};
    deflateInit2(&z, 9, Z_DEFLATED, 16 + MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
    unsigned char buf[65536];
    size_t pos = 0;
    int flush;
    do {
        size_t n = in.size() - pos < sizeof buf ? in.size() - pos : sizeof buf;
        z.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(in.data() + pos));
        z.avail_in = static_cast<uInt>(n);
        pos += n;
        flush = pos == in.size() ? Z_FINISH : Z_NO_FLUSH;
        do {
            z.next_out = buf;
            z.avail_out = sizeof buf;
            deflate(&z, flush);
            out.append(reinterpret_cast<char *>(buf), sizeof buf - z.avail_out);
        } while (z.avail_out == 0);
    } while (flush != Z_FINISH);
    deflateEnd(&z);
    return out;
}

size_t zlib_decompress(const std::string &member) {
    z_stream z{};
    inflateInit2(&z, 16 + MAX_WBITS);
    unsigned char buf[65536];
    z.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(member.data()));
    z.avail_in = static_cast<uInt>(member.size());
    int ret;
    do {
        z.next_out = buf;
        z.avail_out = sizeof buf;
        ret = inflate(&z, Z_NO_FLUSH);
    } while (ret == Z_OK);
    size_t total = z.total_out;
    inflateEnd(&z);
    if (ret != Z_STREAM_END) {
        std::fprintf(stderr, "kivra_bench: zlib could not decode kivra's member\n");
        std::exit(1);
    }
    return total;
}

}  // namespace

int main(int argc, char **argv) {
    progname = const_cast<char *>("kivra_bench");
    time_stamp = 0;
    const char *file = nullptr;
    int reps = 3;
    cpu_set_t cpus;
    unsigned threads = sched_getaffinity(0, sizeof cpus, &cpus) == 0 ? static_cast<unsigned>(CPU_COUNT(&cpus)) : 2;
    for (int i = 1; i < argc; i++) {
        if (std::strcmp(argv[i], "-n") == 0 && i + 1 < argc) {
            reps = std::atoi(argv[++i]);
        } else if (std::strcmp(argv[i], "-j") == 0 && i + 1 < argc) {
            threads = static_cast<unsigned>(std::atoi(argv[++i]));
        } else if (std::strcmp(argv[i], "--write-corpus") == 0 && i + 1 < argc) {
            const std::string c = generated_corpus();
            FILE *f = std::fopen(argv[++i], "wb");
            if (f == nullptr || std::fwrite(c.data(), 1, c.size(), f) != c.size() || std::fclose(f) != 0) {
                std::fprintf(stderr, "kivra_bench: cannot write %s\n", argv[i]);
                return 2;
            }
            return 0;
        } else if (argv[i][0] != '-' && file == nullptr) {
            file = argv[i];
        } else {
            std::fprintf(stderr, "usage: kivra_bench [FILE] [-n REPS] [-j THREADS] | --write-corpus PATH\n");
            return 2;
        }
    }
    if (reps < 1) reps = 1;
    if (threads < 2) threads = 2;

    const std::string corpus = file ? read_file(file) : generated_corpus();
    const std::string in_path = temp_with(corpus);
    const std::string member_path = temp_with("");
    const double mb = static_cast<double>(corpus.size()) / 1e6;

    double kc_wall = 0, kj_wall = 0;
    zip_threads = threads;
    const double kj = best_of(reps, [&] { kivra_compress(in_path, member_path); }, &kj_wall);
    const std::string member_j = read_file(member_path.c_str());
    zip_threads = 1;
    const double kc = best_of(reps, [&] { kivra_compress(in_path, member_path); }, &kc_wall);
    const std::string member = read_file(member_path.c_str());
    std::string zmember;
    const double zc = best_of(reps, [&] { zmember = zlib_compress(corpus); });
    const double kd = best_of(reps, [&] { kivra_decompress(member_path); });
    size_t decoded = 0;
    const double zd = best_of(reps, [&] { decoded = zlib_decompress(member); });
    unlink(in_path.c_str());
    unlink(member_path.c_str());
    if (decoded != corpus.size()) {
        std::fprintf(stderr, "kivra_bench: kivra's member decodes to %zu bytes, not %zu\n", decoded, corpus.size());
        return 1;
    }

    std::printf("corpus: %s, %zu bytes; best CPU time of %d runs\n", file ? file : "generated", corpus.size(), reps);
    std::printf("%-22s %10s %10s %10s %10s %8s\n", "work", "kivra s", "kivra MB/s", "zlib s", "zlib MB/s", "ratio");
    std::printf("%-22s %10.3f %10.1f %10.3f %10.1f %8.2f\n", "compress, level 9", kc, mb / kc, zc, mb / zc, zc / kc);
    char label[32];
    std::snprintf(label, sizeof label, "compress, %u threads", threads);
    std::printf("%-22s %10.3f %10.1f %10.3f %10.1f %8.2f\n", label, kj, mb / kj, zc, mb / zc, zc / kj);
    std::printf("%-22s %10.3f %10.1f %10.3f %10.1f %8.2f\n", "decode, CRC checked", kd, mb / kd, zd, mb / zd, zd / kd);
    std::printf("compressed size: kivra %zu bytes, zlib %zu bytes\n", member.size(), zmember.size());
    std::printf("wall s: compress %.3f, on %u threads %.3f (%.2fx, CPU %.2fx); members %s\n", kc_wall, threads,
                kj_wall, kc_wall / kj_wall, kj / kc, member_j == member ? "identical" : "DIFFER");
    if (member_j != member) return 1;
    const uint64_t digest = fnv1a(member);
    if (file) {
        std::printf("member digest: %016" PRIx64 " (no digest recorded for this corpus)\n", digest);
        return 0;
    }
    const bool same = digest == kRecordedDigest;
    std::printf("member digest: %016" PRIx64 " %s\n", digest, same ? "= recorded" : "!= recorded: THE COMPRESSED BYTES CHANGED");
    return same ? 0 : 1;
}
