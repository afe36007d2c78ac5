// decode_kit.h - running the member decoder in a child process, and building
// gzip members and DEFLATE streams by hand for decoder tests.
//
// The decoder ends the process on every error, so each decode runs in a
// forked child with fresh stream state; its standard output (the decoded
// bytes), standard error and exit status come back to the test.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "testkit.h"

namespace testkit {

using ChildResult = testkit::RunResult;

// Names the child uses in messages.
inline constexpr const char *kProgname = "kivra";
inline constexpr const char *kIfname = "in.gz";

// Runs body in a forked child whose descriptor 0 (= ifd) reads `input`,
// with cleared stream state, progname kProgname, ifname kIfname, ofname
// "stdout" and ofd 1. body's result is the exit status. A child that runs
// longer than 60 s is killed (a hang shows as signaled).
ChildResult run_child(const std::string &input, const std::function<int()> &body);

// Reads a member header and decodes the member (body and trailer check) in a
// child. The decoded bytes are in .out; status 0 means verified.
ChildResult decode_member(const std::string &gz);

// ---- building members --------------------------------------------------------
struct Header {
    uint8_t magic1 = 0x8b;
    uint8_t method = 8;
    uint8_t flags = 0;   // only the bits are written; fields below follow them
    uint32_t mtime = 0;
    uint16_t part = 0;                 // written when flags & 0x02
    std::string extra = {};            // written when flags & 0x04
    std::string name = {};             // written when flags & 0x08
    std::string comment = {};          // written when flags & 0x10
};
std::string header_bytes_of(const Header &h);

// Header + body + trailer (CRC and length of `plain`).
std::string member(const std::string &deflate, const std::string &plain, const Header &h = {});
std::string trailer(const std::string &plain);

// ---- DEFLATE format facts, written out independently of the codec ------------------
// Base and extra bits of the length codes 257..285 and the distance codes 0..29,
// and the order in which the code-length code's lengths are sent.
inline constexpr std::array<unsigned, 29> kLenBase = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                                      31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
inline constexpr std::array<unsigned, 29> kLenExtra = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                                       2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
inline constexpr std::array<unsigned, 30> kDistBase = {1,    2,    3,    4,    5,    7,     9,     13,    17,  25,
                                                       33,   49,   65,   97,   129,  193,   257,   385,   513, 769,
                                                       1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
inline constexpr std::array<unsigned, 30> kDistExtra = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                                        6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
inline constexpr std::array<unsigned, 19> kClenOrder = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};
// Code lengths of the fixed literal/length code (288 symbols).
std::vector<unsigned> fixed_literal_lengths();

// ---- building DEFLATE streams -------------------------------------------------------
// Writes bit fields least significant bit first and Huffman codes most
// significant bit first, as DEFLATE packs them.
class BitWriter {
public:
    void bits(uint32_t value, unsigned n);
    void code(uint32_t code, unsigned len);  // Huffman code, first bit = its top bit
    void align();                            // pad with zero bits to a byte boundary
    void bytes(const std::string &s);        // after align()
    std::string finish();                    // pads and returns the stream

private:
    std::string out_;
    uint32_t acc_ = 0;
    unsigned n_ = 0;
};

// A canonical Huffman code given its code lengths (0 = no code).
struct Code {
    std::vector<unsigned> lengths;
    std::vector<uint32_t> codes;
    explicit Code(std::vector<unsigned> lens);
    void put(BitWriter &w, unsigned symbol) const;
};

Code fixed_literal_code();
Code fixed_distance_code();  // 32 codes of 5 bits, 30 and 31 included

// Writes a length with its extra bits, or a distance with its extra bits,
// through the given code (RFC 1951 tables).
void put_length(BitWriter &w, const Code &lit, unsigned length);
void put_distance(BitWriter &w, const Code &dist, unsigned distance);

// A complete code-length code (symbols 0-12: 4 bits, 13-18: 5 bits).
Code standard_clen_code();

// Writes a dynamic block header (after the BFINAL/BTYPE bits): HLIT, HDIST,
// HCLEN = 19 with the code-length code `clen`, then the literal/length and
// distance lengths one symbol each (no repeats).
void put_dynamic_header(BitWriter &w, const std::vector<unsigned> &lit_lens,
                        const std::vector<unsigned> &dist_lens, const Code &clen);
// Only HLIT/HDIST/HCLEN and the code-length code; the caller writes the
// lengths itself (for repeat tests).
void put_dynamic_prefix(BitWriter &w, unsigned nl, unsigned nd, const Code &clen);

// Stored block(s) of `data` (split at 65535), the last one final when `last`.
void put_stored(BitWriter &w, const std::string &data, bool last);
// A fixed block of literals only.
void put_fixed_literals(BitWriter &w, const std::string &data, bool last);

// Writes blocks token by token and keeps the output they must decode to.
struct Tokens {
    BitWriter w;
    std::string plain;
    Code lit = fixed_literal_code();
    Code dist = fixed_distance_code();

    void fixed_begin(bool last);
    // Dynamic block header with these lengths; the block's codes become them.
    void dynamic_begin(bool last, const std::vector<unsigned> &lit_lens,
                       const std::vector<unsigned> &dist_lens);
    void literal(char c);
    void literals(const std::string &s);
    void match(unsigned length, unsigned distance);  // before the first byte: zeros
    void end_block();
    void stored(const std::string &data, bool last);
    std::string member() { return testkit::member(w.finish(), plain); }
};

// Complete codes over all 286 literal/length and all 30 distance symbols.
std::vector<unsigned> full_literal_lengths();
std::vector<unsigned> full_distance_lengths();

// A random complete code with `leaves` codes of up to 15 bits on random
// symbols of n (the others get no code), made by splitting random leaves.
std::vector<unsigned> random_complete_code(std::mt19937 &rng, unsigned n, unsigned leaves);

// The decoder tests' sample member: a stored, a fixed and a dynamic block
// (the last with codes over every symbol), literals and matches in each.
Tokens sample_tokens();


}  // namespace testkit
