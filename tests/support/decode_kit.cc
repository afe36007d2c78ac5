#include "decode_kit.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

#include "kivra.h"
#include "testkit.h"

namespace testkit {

ChildResult run_child(const std::string &input, const std::function<int()> &body) {
    testkit::RunOptions opts;
    opts.stdin_data = input;
    return testkit::run_forked(
        [&body] {
            alarm(60);
            clear_bufs();
            updcrc(nullptr, 0);
            part_nb = 0;
            time_stamp = 0;
            exit_code = 0;
            method = DEFLATED;
            ifd = 0;
            ofd = 1;
            static char prog[] = "kivra";
            progname = prog;
            std::snprintf(ifname, sizeof ifname, "%s", kIfname);
            std::snprintf(ofname, sizeof ofname, "stdout");
            return body();
        },
        opts);
}

ChildResult decode_member(const std::string &gz) {
    return run_child(gz, [] {
        if (get_method(ifd) != DEFLATED) return exit_code;
        return unzip(ifd, ofd);
    });
}

namespace {
void le(std::string &s, uint32_t v, int bytes) {
    for (int k = 0; k < bytes; k++) s.push_back(static_cast<char>(v >> (8 * k)));
}
}  // namespace

std::string header_bytes_of(const Header &h) {
    std::string s;
    s.push_back('\x1f');
    s.push_back(static_cast<char>(h.magic1));
    s.push_back(static_cast<char>(h.method));
    s.push_back(static_cast<char>(h.flags));
    le(s, h.mtime, 4);
    s.push_back('\0');   // extra flags
    s.push_back('\3');   // Unix
    if (h.flags & 0x02) le(s, h.part, 2);
    if (h.flags & 0x04) {
        le(s, static_cast<uint32_t>(h.extra.size()), 2);
        s += h.extra;
    }
    if (h.flags & 0x08) s += h.name + std::string(1, '\0');
    if (h.flags & 0x10) s += h.comment + std::string(1, '\0');
    return s;
}

std::string trailer(const std::string &plain) {
    std::string s;
    le(s, crc32_of(plain), 4);
    le(s, static_cast<uint32_t>(plain.size()), 4);
    return s;
}

std::string member(const std::string &deflate, const std::string &plain, const Header &h) {
    return header_bytes_of(h) + deflate + trailer(plain);
}

// ---- bit writer ---------------------------------------------------------------------
void BitWriter::bits(uint32_t value, unsigned n) {
    for (unsigned i = 0; i < n; i++) {
        acc_ |= ((value >> i) & 1u) << n_;
        if (++n_ == 8) {
            out_.push_back(static_cast<char>(acc_));
            acc_ = 0;
            n_ = 0;
        }
    }
}

void BitWriter::code(uint32_t code, unsigned len) {
    for (unsigned i = len; i-- > 0;) bits((code >> i) & 1u, 1);
}

void BitWriter::align() {
    if (n_ != 0) bits(0, 8 - n_);
}

void BitWriter::bytes(const std::string &s) {
    align();
    out_ += s;
}

std::string BitWriter::finish() {
    align();
    return out_;
}

// ---- codes ----------------------------------------------------------------------------
Code::Code(std::vector<unsigned> lens) : lengths(std::move(lens)), codes(lengths.size()) {
    std::array<uint32_t, 17> count{}, next{};
    for (unsigned l : lengths) count[l]++;
    count[0] = 0;
    uint32_t c = 0;
    for (unsigned bits = 1; bits <= 16; bits++) {
        c = (c + count[bits - 1]) << 1;
        next[bits] = c;
    }
    for (size_t s = 0; s < lengths.size(); s++) {
        if (lengths[s] != 0) codes[s] = next[lengths[s]]++;
    }
}

void Code::put(BitWriter &w, unsigned symbol) const {
    if (symbol >= lengths.size() || lengths[symbol] == 0) throw std::logic_error("symbol has no code");
    w.code(codes[symbol], lengths[symbol]);
}

std::vector<unsigned> fixed_literal_lengths() {
    std::vector<unsigned> l(288);
    for (unsigned i = 0; i < 288; i++) l[i] = i < 144 ? 8 : i < 256 ? 9 : i < 280 ? 7 : 8;
    return l;
}

Code fixed_literal_code() { return Code(fixed_literal_lengths()); }

Code fixed_distance_code() { return Code(std::vector<unsigned>(32, 5)); }

void put_length(BitWriter &w, const Code &lit, unsigned length) {
    if (length < 3 || length > 258) throw std::logic_error("match length out of range");
    unsigned i = 28;
    while (kLenBase[i] > length) i--;
    lit.put(w, 257 + i);
    w.bits(length - kLenBase[i], kLenExtra[i]);
}

void put_distance(BitWriter &w, const Code &dist, unsigned distance) {
    if (distance < 1 || distance > 32768) throw std::logic_error("match distance out of range");
    unsigned i = 29;
    while (kDistBase[i] > distance) i--;
    dist.put(w, i);
    w.bits(distance - kDistBase[i], kDistExtra[i]);
}

Code standard_clen_code() {
    std::vector<unsigned> l(19);
    for (unsigned i = 0; i < 19; i++) l[i] = i < 13 ? 4 : 5;
    return Code(l);
}

void put_dynamic_prefix(BitWriter &w, unsigned nl, unsigned nd, const Code &clen) {
    w.bits(nl - 257, 5);
    w.bits(nd - 1, 5);
    w.bits(19 - 4, 4);
    for (unsigned j = 0; j < 19; j++) w.bits(clen.lengths[kClenOrder[j]], 3);
}

void put_dynamic_header(BitWriter &w, const std::vector<unsigned> &lit_lens,
                        const std::vector<unsigned> &dist_lens, const Code &clen) {
    put_dynamic_prefix(w, static_cast<unsigned>(lit_lens.size()),
                       static_cast<unsigned>(dist_lens.size()), clen);
    for (unsigned l : lit_lens) clen.put(w, l);
    for (unsigned l : dist_lens) clen.put(w, l);
}

void put_stored(BitWriter &w, const std::string &data, bool last) {
    size_t pos = 0;
    do {
        const size_t n = std::min<size_t>(65535, data.size() - pos);
        const bool final_piece = pos + n == data.size();
        w.bits(last && final_piece ? 1 : 0, 1);
        w.bits(0, 2);
        w.align();
        w.bits(static_cast<uint32_t>(n), 16);
        w.bits(static_cast<uint32_t>(~n & 0xffff), 16);
        w.bytes(data.substr(pos, n));
        pos += n;
    } while (pos < data.size());
}

void put_fixed_literals(BitWriter &w, const std::string &data, bool last) {
    static const Code lit = fixed_literal_code();
    w.bits(last ? 1 : 0, 1);
    w.bits(1, 2);
    for (unsigned char c : data) lit.put(w, c);
    lit.put(w, 256);
}

void Tokens::fixed_begin(bool last) {
    w.bits(last ? 1 : 0, 1);
    w.bits(1, 2);
    lit = fixed_literal_code();
    dist = fixed_distance_code();
}

void Tokens::dynamic_begin(bool last, const std::vector<unsigned> &lit_lens,
                           const std::vector<unsigned> &dist_lens) {
    w.bits(last ? 1 : 0, 1);
    w.bits(2, 2);
    put_dynamic_header(w, lit_lens, dist_lens, standard_clen_code());
    lit = Code(lit_lens);
    dist = Code(dist_lens);
}

void Tokens::literal(char c) {
    lit.put(w, static_cast<unsigned char>(c));
    plain.push_back(c);
}

void Tokens::literals(const std::string &s) {
    for (char c : s) literal(c);
}

void Tokens::match(unsigned length, unsigned distance) {
    put_length(w, lit, length);
    put_distance(w, dist, distance);
    for (unsigned i = 0; i < length; i++) {
        plain.push_back(distance > plain.size() ? '\0' : plain[plain.size() - distance]);
    }
}

void Tokens::end_block() { lit.put(w, 256); }

void Tokens::stored(const std::string &data, bool last) {
    put_stored(w, data, last);
    plain += data;
}

std::vector<unsigned> full_literal_lengths() {
    // 256 literals of 9 bits fill half the code space; end of block and 257
    // take 5 bits, 258..285 6 bits.
    std::vector<unsigned> l(286, 9);
    l[256] = l[257] = 5;
    for (unsigned i = 258; i < 286; i++) l[i] = 6;
    return l;
}

std::vector<unsigned> full_distance_lengths() {
    std::vector<unsigned> l(30, 5);
    l[0] = l[1] = 4;
    return l;
}

std::vector<unsigned> random_complete_code(std::mt19937 &rng, unsigned n, unsigned leaves) {
    std::vector<unsigned> lens = {1, 1};
    while (lens.size() < leaves) {
        const size_t i = rng() % lens.size();
        if (lens[i] >= 15) continue;
        lens[i]++;
        lens.push_back(lens[i]);
    }
    lens.resize(n, 0);
    std::shuffle(lens.begin(), lens.end(), rng);
    return lens;
}

Tokens sample_tokens() {
    Tokens t;
    t.stored("a stored block, then fixed and dynamic ones. ", false);
    t.fixed_begin(false);
    t.literals("fixed literals");
    t.match(10, 7);
    t.match(30, 1);
    t.match(20, 5);
    t.end_block();
    t.dynamic_begin(true, full_literal_lengths(), full_distance_lengths());
    t.literals("dynamic literals");
    t.match(258, 16);
    t.match(4, 100);
    t.match(3, 30);
    t.literals("!");
    t.end_block();
    return t;
}

}  // namespace testkit
