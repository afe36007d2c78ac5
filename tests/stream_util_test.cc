// The stream layer: CRC-32, ratio printing, base names, buffered input from
// pipes, window flushes, the fatal paths and the library routines that the
// program itself does not call.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <random>
#include <string>
#include <unistd.h>

#include "decode_kit.h"
#include "stream.h"

using namespace testkit;

namespace {

ulg crc_of(const std::string &s) {
    updcrc(nullptr, 0);
    return updcrc(reinterpret_cast<const uch *>(s.data()), static_cast<unsigned>(s.size()));
}

TEST(Crc32, KnownVectors) {
    const struct {
        std::string data;
        ulg crc;
    } cases[] = {
        {"", 0},
        {"a", 0xe8b7be43UL},
        {"abc", 0x352441c2UL},
        {"123456789", 0xcbf43926UL},
        {"The quick brown fox jumps over the lazy dog", 0x414fa339UL},
        {std::string(32, '\0'), 0x190a55adUL},
        {std::string(32, '\xff'), 0xff6cab0bUL},
    };
    for (const auto &c : cases) EXPECT_EQ(crc_of(c.data), c.crc) << c.data.size();
    EXPECT_EQ(updcrc(nullptr, 0), 0u);  // a reset reads as the CRC of nothing
}

// Each CRC routine where this processor has it against the bit-by-bit
// reference: every length up to 1100 (each routine's steps of 16, 64 and 256
// bytes with every remainder, and the lengths where a routine hands over to a
// narrower one), then random lengths, at every alignment, split at a random
// point so that the register carries over between calls.
struct CrcRoutine {
    const char *name;
    uint32_t (*update)(uint32_t reg, const uch *s, size_t n);
    bool present;
};
class Crc32Routine : public testing::TestWithParam<CrcRoutine> {};
TEST_P(Crc32Routine, MatchesBitwiseReference) {
    const CrcRoutine &r = GetParam();
    if (!r.present) GTEST_SKIP() << "this processor lacks the instructions of crc32_" << r.name;
    const std::string data = testkit::random_bytes(9000, 11);
    std::mt19937 rng(20261208);
    for (unsigned round = 0; round < 1500; round++) {
        const size_t off = rng() % 64;
        const size_t len = round <= 1100 ? round : rng() % 8000;
        const size_t cut = rng() % (len + 1);
        const uch *p = reinterpret_cast<const uch *>(data.data()) + off;
        const uint32_t reg = r.update(r.update(0xffffffffu, p, cut), p + cut, len - cut);
        ASSERT_EQ(reg ^ 0xffffffffu, crc32_of(data.substr(off, len))) << len << " at " << off << ", cut " << cut;
    }
}
INSTANTIATE_TEST_SUITE_P(Each, Crc32Routine,
                         testing::Values(
#if defined(__x86_64__) || defined(__i386__)
                             CrcRoutine{"clmul", crc32_clmul, cpu_has(CpuFeature::clmul)},
                             CrcRoutine{"clmul512", crc32_clmul512, cpu_has(CpuFeature::clmul512)},
#endif
                             CrcRoutine{"portable", crc32_portable, true}),
                         CaseName());

std::string ratio(counter_t num, counter_t den) {
    char buf[64] = "";
    FILE *f = fmemopen(buf, sizeof buf, "w");
    display_ratio(num, den, f);
    std::fclose(f);
    return buf;
}

TEST(DisplayRatio, Table) {
    const struct {
        counter_t num, den;
        const char *text;
    } cases[] = {
        {0, 0, "  0.0%"},
        {7, 0, "  0.0%"},
        {1, 2, " 50.0%"},
        {-1, 3, "-33.3%"},
        {5, 1000, "  0.5%"},
        {-5, 1000, "- 0.5%"},
        {2, 3, " 66.6%"},  // truncated, not rounded
        {3, 1, " 300.0%"},
        {1, 1, " 100.0%"},
        // From 2147483 on the denominator is divided first.
        {1073741, 2147482, " 50.0%"},
        {1073741, 2147483, " 50.0%"},  // 1073741 / 2147 = 500
        {1073740, 2147483, " 50.0%"},
        {1500000, 3000000, " 50.0%"},
        {2999, 3000000, "  0.0%"},  // 2999 / 3000, where 1000 * 2999 / 3000000 would give 0.9
        {1000000000000LL, 1000000000000LL, " 100.0%"},
    };
    for (const auto &c : cases) EXPECT_EQ(ratio(c.num, c.den), c.text) << c.num << "/" << c.den;
}

// gz_basename returns a pointer into its argument and leaves it as it was;
// make_simple_name rewrites it in place.
TEST(FileNames, BaseAndSimpleNames) {
    const struct {
        bool simple;
        const char *in, *out;
    } cases[] = {{false, "a/b/c", "c"}, {false, "name", "name"}, {false, "dir/", ""},   {false, "/x", "x"},
                 {false, "", ""},       {true, "a.b.c", "a_b.c"}, {true, ".profile", "_profile"},
                 {true, "noext", "noext"}, {true, "x.", "x."},     {true, "..a", "_.a"}, {true, "a.b.c.d", "a_b_c.d"}};
    for (const auto &c : cases) {
        char buf[32];
        std::strcpy(buf, c.in);
        if (c.simple) make_simple_name(buf);
        EXPECT_STREQ(c.simple ? buf : gz_basename(buf), c.out) << c.in;
        EXPECT_STREQ(c.simple ? c.in : buf, c.in);
    }
}

// Feeds `chunks` through a pipe from a writer process into ifd.
void pipe_into_ifd(const std::vector<std::string> &chunks) {
    int fds[2];
    if (pipe(fds) != 0) _exit(120);
    if (fork() == 0) {
        close(fds[0]);
        for (const std::string &c : chunks) {
            if (write(fds[1], c.data(), c.size()) != static_cast<ssize_t>(c.size())) _exit(1);
            usleep(2000);
        }
        _exit(0);
    }
    close(fds[1]);
    ifd = fds[0];
}

// Each body runs in a child process with no input; its status, standard
// output and standard error are checked. The fatal paths end it with status 1
// and one message naming the stream.
TEST(StreamRoutines, InChildProcess) {
    const struct {
        const char *name;
        int (*body)();
        int status;
        std::string out, err;
    } cases[] = {
        {"input from a pipe that ends after 100 bytes",
         [] {
             pipe_into_ifd({std::string("F") + std::string(99, 'x')});
             const int first = in_byte();
             std::printf("%c %u %u %lld\n", first, insize, inptr, static_cast<long long>(bytes_in));
             for (int i = 0; i < 99; i++) in_byte();
             std::fflush(stdout);
             return in_byte();
         },
         1, "F 100 1 100\n", "\nkivra: in.gz: unexpected end of file\n"},
        {"short reads fill the whole buffer",
         [] {
             std::vector<std::string> chunks;
             for (int i = 0; i < 50; i++) chunks.push_back(std::string(1000, static_cast<char>('A' + i % 26)));
             pipe_into_ifd(chunks);
             in_byte();
             std::printf("%u", insize);
             inptr = insize;
             in_byte();
             std::printf(" %u %lld", insize, static_cast<long long>(bytes_in));
             std::printf(" %d", fill_inbuf(1));
             return 0;
         },
         0, "32768 17232 50000 -1", ""},
        {"flush_window writes pending bytes and feeds the CRC",
         [] {
             updcrc(nullptr, 0);
             flush_window();  // nothing pending: no write, CRC untouched
             std::memcpy(window, "hello", 5);
             outcnt = 5;
             flush_window();
             const uch dummy = 0;
             std::fprintf(stderr, "%u %lld %08lx %.5s", outcnt, static_cast<long long>(bytes_out),
                          updcrc(&dummy, 0), reinterpret_cast<char *>(window));
             return 0;
         },
         0, "hello", "0 5 3610a686 hello"},
        {"read error names the input",
         [] {
             ifd = open("/", O_RDONLY);  // reading a directory fails
             return in_byte();
         },
         1, "", "\nkivra: in.gz: " + std::string(strerror(EISDIR)) + "\n"},
        {"write error names the output", [] { return ofd = -1, outcnt = 3, flush_window(), 0; }, 1, "",
         "\nkivra: stdout: " + std::string(strerror(EBADF)) + "\n"},
        {"error format", []() -> int { error("some message"); }, 1, "", "\nkivra: in.gz: some message\n"},
        {"warn sets exit code 2 only from 0",
         [] {
             warn("a ", "b");
             const int first = exit_code;
             exit_code = 1;
             warn("c", "");
             std::printf("%d %d", first, exit_code);
             return 0;
         },
         0, "2 1", "kivra: in.gz: warning: a b\nkivra: in.gz: warning: c\n"},
        {"add_envopt splits the variable; argc <= 0 is fatal",
         [] {
             static char a0[] = "prog", a1[] = "file";
             char *argv0[] = {a0, a1, nullptr};
             int argc = 2;
             char **argv = argv0;
             setenv("KIVRA_OPTS", " -a  -b\t-c ", 1);
             char *copy_of_env = add_envopt(&argc, &argv, "KIVRA_OPTS");
             std::printf("%d", argc);
             for (int i = 0; argv[i]; i++) std::printf(" [%s]", argv[i]);
             setenv("KIVRA_OPTS", " \t ", 1);
             int argc2 = 2;
             char **argv2 = argv0;
             std::printf(" %s %d", add_envopt(&argc2, &argv2, "KIVRA_OPTS") ? "set" : "null", argc2);
             unsetenv("KIVRA_OPTS");
             std::printf(" %s", add_envopt(&argc2, &argv2, "KIVRA_OPTS") ? "set" : "null");
             std::free(copy_of_env);
             std::free(argv);
             setenv("KIVRA_OPTS", "-x", 1);
             int bad = -1;
             add_envopt(&bad, &argv2, "KIVRA_OPTS");
             return 0;
         },
         1, "5 [prog] [-a] [-b] [-c] [file] null 2 null", "\nkivra: in.gz: argc<=0\n"},
    };
    for (const auto &c : cases) {
        ChildResult r = run_child("", c.body);
        EXPECT_EQ(r.status, c.status) << c.name;
        EXPECT_EQ(r.out, c.out) << c.name;
        EXPECT_EQ(r.err, c.err) << c.name;
    }
}

TEST(LibraryRoutines, CopyTakesBufferedBytesThenTheRest) {
    struct Case {
        std::string buffered;
        std::string input;
        std::string out;
        std::string counts;
    };
    const Case cases[] = {
        {"buffered ", "rest of input", "buffered rest of input", "22 22"},
        {"", "nothing was buffered", "nothing was buffered", "20 20"},
        {"only buffered", "", "only buffered", "13 13"},
        {"", "", "", "0 0"},
    };
    for (const Case &c : cases) {
        ChildResult r = run_child(c.input, [&c] {
            std::memcpy(inbuf, c.buffered.data(), c.buffered.size());
            insize = static_cast<unsigned>(c.buffered.size());
            copy(0, 1);
            std::fprintf(stderr, "%lld %lld", static_cast<long long>(bytes_in), static_cast<long long>(bytes_out));
            return 0;
        });
        EXPECT_EQ(r.out, c.out) << c.input;
        EXPECT_EQ(r.err, c.counts) << c.input;
    }
}

TEST(LibraryRoutines, Strlwr) {
    char s[] = "MiXeD 123 ÄZ";
    EXPECT_EQ(strlwr(s), s);
    EXPECT_STREQ(s, "mixed 123 Äz");
}

}  // namespace
