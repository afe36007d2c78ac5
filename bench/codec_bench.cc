// Codec benchmarks: kivra's compressor and decompressor against zlib at the
// same settings (level 9, gzip framing), on the same corpus in the same run.
// Report the kivra/zlib time ratio, not absolute figures:
//   build/x86_64/bench/kivra_bench --benchmark_min_time=1
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <random>
#include <string>
#include <unistd.h>

#include "kivra.h"

namespace {

// About 4 MiB: English-like text, a program image, runs, and random bytes.
std::string make_corpus() {
    std::string data;
    std::mt19937 rng(12345);
    static const char *const kWords[] = {"archive ", "extract ", "the ", "filesystem ", "of ",
                                         "payload ", "member ", "window ", "and ", "a ",
                                         "compress ", "Huffman ", "\n", "trailer ", "run "};
    while (data.size() < (2u << 20)) data += kWords[rng() % (sizeof kWords / sizeof *kWords)];
    int fd = open("/proc/self/exe", O_RDONLY);
    char buf[65536];
    ssize_t n;
    while (fd >= 0 && data.size() < (3u << 20) && (n = read(fd, buf, sizeof buf)) > 0) data.append(buf, size_t(n));
    if (fd >= 0) close(fd);
    data.append(256 << 10, 'x');
    while (data.size() < (4u << 20)) data.push_back(static_cast<char>(rng()));
    return data;
}

const std::string &corpus() {
    static const std::string c = make_corpus();
    return c;
}

std::string write_temp(const std::string &data) {
    char path[] = "/tmp/kivra-bench-XXXXXX";
    int fd = mkstemp(path);
    size_t done = 0;
    while (done < data.size()) done += size_t(write(fd, data.data() + done, data.size() - done));
    close(fd);
    return path;
}

// A gzip member of the corpus as kivra writes it.
std::string kivra_member() {
    static std::string member;
    if (!member.empty()) return member;
    std::string in = write_temp(corpus());
    char out[] = "/tmp/kivra-bench-XXXXXX";
    int ofd_ = mkstemp(out);
    int ifd_ = open(in.c_str(), O_RDONLY);
    std::strcpy(ifname, "corpus");
    zip(ifd_, ofd_);
    close(ifd_);
    close(ofd_);
    int fd = open(out, O_RDONLY);
    char buf[65536];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0) member.append(buf, size_t(n));
    close(fd);
    unlink(in.c_str());
    unlink(out);
    return member;
}

void BM_Compress_kivra(benchmark::State &state) {
    std::string in = write_temp(corpus());
    int null_fd = open("/dev/null", O_WRONLY);
    std::strcpy(ifname, "corpus");
    for (auto _ : state) {
        int fd = open(in.c_str(), O_RDONLY);
        zip(fd, null_fd);
        close(fd);
    }
    close(null_fd);
    unlink(in.c_str());
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(corpus().size()));
}

void BM_Compress_zlib(benchmark::State &state) {
    const std::string &c = corpus();
    std::string out(compressBound(uLong(c.size())) + 64, '\0');
    for (auto _ : state) {
        z_stream z{};
        deflateInit2(&z, 9, Z_DEFLATED, 16 + MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
        z.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(c.data()));
        z.avail_in = uInt(c.size());
        z.next_out = reinterpret_cast<Bytef *>(out.data());
        z.avail_out = uInt(out.size());
        deflate(&z, Z_FINISH);
        deflateEnd(&z);
        benchmark::DoNotOptimize(z.total_out);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(c.size()));
}

void BM_Decompress_kivra(benchmark::State &state) {
    std::string in = write_temp(kivra_member());
    int null_fd = open("/dev/null", O_WRONLY);
    std::strcpy(ifname, "member");
    for (auto _ : state) {
        int fd = open(in.c_str(), O_RDONLY);
        clear_bufs();
        part_nb = 0;
        ifd = fd;
        get_method(fd);
        unzip(fd, null_fd);
        close(fd);
    }
    close(null_fd);
    unlink(in.c_str());
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(corpus().size()));
}

void BM_Decompress_zlib(benchmark::State &state) {
    const std::string member = kivra_member();
    std::string out(corpus().size(), '\0');
    for (auto _ : state) {
        z_stream z{};
        inflateInit2(&z, 16 + MAX_WBITS);
        z.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(member.data()));
        z.avail_in = uInt(member.size());
        z.next_out = reinterpret_cast<Bytef *>(out.data());
        z.avail_out = uInt(out.size());
        inflate(&z, Z_FINISH);
        inflateEnd(&z);
        benchmark::DoNotOptimize(z.total_out);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(corpus().size()));
}

}  // namespace

BENCHMARK(BM_Compress_kivra)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Compress_zlib)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Decompress_kivra)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Decompress_zlib)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
