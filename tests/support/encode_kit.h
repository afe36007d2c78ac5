// encode_kit.h - helpers for the compressor tests: running zip over in-memory
// files, and a small independent DEFLATE reader that reports every block and
// symbol, so tests can check the exact coding choices (and decode on builds
// that have no zlib).
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "testkit.h"

namespace testkit {

// One decoded symbol: a literal (lit >= 0) or a match (lit == -1).
struct Symbol {
    int lit = -1;
    int len = 0;    // match length 3..258
    int dist = 0;   // match distance
    int lcode = 0;  // the length symbol 257..285 that coded it
    bool operator==(const Symbol &o) const { return lit == o.lit && len == o.len && dist == o.dist; }
};
inline Symbol lit(int c) { return {.lit = c}; }
inline Symbol match(int len, int dist) { return {.len = len, .dist = dist}; }
inline void PrintTo(const Symbol &s, std::ostream *os) {
    *os << (s.lit >= 0 ? "lit(" + std::to_string(s.lit) : "match(" + std::to_string(s.len) + ", " + std::to_string(s.dist)) << ")";
}

struct Block {
    int type = -1;  // 0 stored, 1 fixed, 2 dynamic
    bool final = false;
    int hlit = 0, hdist = 0, hclen = 0;  // dynamic: counts of codes sent
    std::vector<int> dist_lengths;       // dynamic: code lengths of the distance codes
    size_t stored_len = 0;
    size_t in_bytes = 0;                 // input bytes the block produced
    std::vector<Symbol> syms;
};

struct Inflated {
    bool ok = false;
    std::string error;
    std::vector<Block> blocks;
    std::string data;
    size_t end = 0;  // byte offset just after the deflate stream
};
// Decodes the raw DEFLATE stream starting at byte `pos` of `in`.
Inflated inflate_raw(const std::string &in, size_t pos);

struct Member {
    bool ok = false;
    std::string error;
    std::string name;
    uint32_t crc = 0, isize = 0;
    size_t start = 0, end = 0;  // byte range of the member in its archive
    Inflated body;
};
// Parses the gzip members that make up `bytes`, one after another.
std::vector<Member> parse_members(const std::string &bytes);

using Files = std::vector<std::pair<std::string, std::string>>;  // (name, data) of each input

// Compresses each (name, data) into one member through zip, as one run of the
// builder does (bytes_in starts at 0 and accumulates). The data are read from
// a scratch file; `name` is what ifname holds.
std::string compress(const Files &files);
std::string compress1(const std::string &data, const std::string &name = "a");

// Checks (as test failures) that `payload` holds one member per file, in
// order: each complete, storing the file's base name, its data and CRC, and
// in its size field the running total of the sizes (mod 2^32), as one run of
// the builder writes them. Returns the members read.
std::vector<Member> expect_members(const std::string &payload, const Files &files);
// The same checks on one builder run over `files` (the payload must end with
// its last member), then each member cut out on its own with its size field
// set to its own data's size, so a gzip decoder accepts it.
std::vector<std::string> members_alone(const Files &files);

// The round-trip corpus: text, random bytes and runs at sizes around every
// buffer boundary of compressor and decoder (input fill, window halves,
// lookahead), zeros, the kivra binary, and megabytes of text, noise and long
// repeats from far back that slide the window many times.
Files corpus();

std::string text_bytes(size_t n, uint32_t seed);  // English-like words
std::string hex(const std::string &s);

}  // namespace testkit
