// encode_kit.cc - see encode_kit.h. The reader here is written for clarity,
// not speed: canonical codes are decoded bit by bit from their length counts
// (RFC 1951 3.2.2), and every malformed construct is reported, not repaired.
#include "encode_kit.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <tuple>

#include <gtest/gtest.h>

#include "decode_kit.h"
#include "stream.h"
#include "testkit.h"

namespace testkit {

namespace {

struct BitReader {
    const std::string &in;
    size_t pos;  // next byte
    int bit = 0; // next bit within in[pos]
    int need(int n) {
        int v = 0;
        for (int i = 0; i < n; i++) {
            if (pos >= in.size()) throw std::runtime_error("input ends inside the stream");
            v |= ((static_cast<unsigned char>(in[pos]) >> bit) & 1) << i;
            if (++bit == 8) bit = 0, pos++;
        }
        return v;
    }
    void align() {
        if (bit != 0) bit = 0, pos++;
    }
};

// Canonical code from a list of lengths.
struct ReadCode {
    int count[16] = {};
    std::vector<int> symbols;  // ordered by (length, symbol)
    explicit ReadCode(const std::vector<int> &lengths) {
        for (int l : lengths) count[l]++;
        count[0] = 0;
        // The code must not be over-subscribed.
        int left = 1;
        for (int len = 1; len < 16; len++) {
            left = left * 2 - count[len];
            if (left < 0) throw std::runtime_error("over-subscribed code");
        }
        for (int len = 1; len < 16; len++)
            for (size_t s = 0; s < lengths.size(); s++)
                if (lengths[s] == len) symbols.push_back(static_cast<int>(s));
    }
    int decode(BitReader &br) const {
        int code = 0, first = 0, index = 0;
        for (int len = 1; len < 16; len++) {
            code |= br.need(1);
            if (code - first < count[len]) return symbols[static_cast<size_t>(index + code - first)];
            index += count[len];
            first = (first + count[len]) << 1;
            code <<= 1;
        }
        throw std::runtime_error("invalid code");
    }
};

void codes(BitReader &br, Block &b, std::string &out, const ReadCode &lcode, const ReadCode &dcode) {
    for (;;) {
        int sym = lcode.decode(br);
        if (sym < 256) {
            out.push_back(static_cast<char>(sym));
            b.syms.push_back(lit(sym));
            b.in_bytes++;
        } else if (sym == 256) {
            return;
        } else {
            if (sym > 285) throw std::runtime_error("bad length symbol");
            int len = static_cast<int>(kLenBase[sym - 257]) + br.need(static_cast<int>(kLenExtra[sym - 257]));
            int ds = dcode.decode(br);
            if (ds > 29) throw std::runtime_error("bad distance symbol");
            int dist = static_cast<int>(kDistBase[ds]) + br.need(static_cast<int>(kDistExtra[ds]));
            if (static_cast<size_t>(dist) > out.size()) throw std::runtime_error("distance too far back");
            for (int i = 0; i < len; i++) out.push_back(out[out.size() - static_cast<size_t>(dist)]);
            Symbol s = match(len, dist);
            s.lcode = sym;
            b.syms.push_back(s);
            b.in_bytes += static_cast<size_t>(len);
        }
    }
}

}  // namespace

Inflated inflate_raw(const std::string &in, size_t pos) {
    Inflated r;
    BitReader br{in, pos};
    try {
        Block b;
        do {
            b = Block();
            b.final = br.need(1) != 0;
            b.type = br.need(2);
            if (b.type == 0) {
                br.align();
                int len = br.need(16);
                int nlen = br.need(16);
                if ((len ^ 0xffff) != nlen) throw std::runtime_error("LEN/NLEN mismatch");
                if (br.pos + static_cast<size_t>(len) > in.size()) throw std::runtime_error("stored block cut");
                r.data.append(in, br.pos, static_cast<size_t>(len));
                br.pos += static_cast<size_t>(len);
                b.stored_len = b.in_bytes = static_cast<size_t>(len);
            } else if (b.type == 1) {
                const std::vector<unsigned> fixed = fixed_literal_lengths();
                codes(br, b, r.data, ReadCode(std::vector<int>(fixed.begin(), fixed.end())), ReadCode(std::vector<int>(30, 5)));
            } else if (b.type == 2) {
                b.hlit = br.need(5) + 257;
                b.hdist = br.need(5) + 1;
                b.hclen = br.need(4) + 4;
                std::vector<int> cl(19, 0);
                for (int i = 0; i < b.hclen; i++) cl[kClenOrder[static_cast<size_t>(i)]] = br.need(3);
                ReadCode clcode(cl);
                std::vector<int> lens;
                while (lens.size() < static_cast<size_t>(b.hlit + b.hdist)) {
                    int s = clcode.decode(br);
                    if (s < 16) {
                        lens.push_back(s);
                    } else if (s == 16) {
                        if (lens.empty()) throw std::runtime_error("repeat with no previous length");
                        int n = 3 + br.need(2);
                        lens.insert(lens.end(), static_cast<size_t>(n), lens.back());
                    } else {
                        int n = s == 17 ? 3 + br.need(3) : 11 + br.need(7);
                        lens.insert(lens.end(), static_cast<size_t>(n), 0);
                    }
                }
                if (lens.size() != static_cast<size_t>(b.hlit + b.hdist)) throw std::runtime_error("lengths overrun");
                std::vector<int> l(lens.begin(), lens.begin() + b.hlit);
                b.dist_lengths.assign(lens.begin() + b.hlit, lens.end());
                codes(br, b, r.data, ReadCode(l), ReadCode(b.dist_lengths));
            } else {
                throw std::runtime_error("reserved block type");
            }
            r.blocks.push_back(b);
        } while (!b.final);
        br.align();
        r.end = br.pos;
        r.ok = true;
    } catch (const std::exception &e) {
        r.error = e.what();
    }
    return r;
}

std::vector<Member> parse_members(const std::string &bytes) {
    std::vector<Member> out;
    auto u8 = [&](size_t at) { return static_cast<uint32_t>(static_cast<unsigned char>(bytes[at])); };
    auto u32 = [&](size_t at) { return u8(at) | u8(at + 1) << 8 | u8(at + 2) << 16 | u8(at + 3) << 24; };
    for (size_t pos = 0; pos < bytes.size(); pos = out.back().end) {
        Member &m = out.emplace_back();
        m.start = pos;
        size_t p = pos + 10, z = 0;
        if (bytes.size() - pos < 18 || u8(pos) != 0x1f || u8(pos + 1) != 0x8b || u8(pos + 2) != 8) {
            m.error = "bad member header";
        } else if ((u8(pos + 3) & 0x08) && (z = bytes.find('\0', p)) == std::string::npos) {
            m.error = "unterminated name";
        } else {
            if (u8(pos + 3) & 0x08) m.name = bytes.substr(p, z - p), p = z + 1;
            m.body = inflate_raw(bytes, p);
            if (!m.body.ok || m.body.end + 8 > bytes.size()) m.error = m.body.ok ? "trailer cut" : m.body.error;
        }
        if (!m.error.empty()) break;
        m.crc = u32(m.body.end);
        m.isize = u32(m.body.end + 4);
        m.end = m.body.end + 8;
        m.ok = true;
    }
    return out;
}

std::string compress(const Files &files) {
    testkit::TempDir dir;
    const std::string out_path = dir.file("out");
    int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (out < 0) throw std::runtime_error("cannot create " + out_path);
    bytes_in = 0;
    int k = 0;
    for (const auto &[name, data] : files) {
        const std::string path = dir.file("in" + std::to_string(k++));
        testkit::write_file(path, data);
        int in = open(path.c_str(), O_RDONLY);
        if (in < 0) throw std::runtime_error("cannot open " + path);
        std::snprintf(ifname, sizeof ifname, "%s", name.c_str());
        zip(in, out);
        close(in);
    }
    close(out);
    return testkit::read_file(out_path);
}

std::string compress1(const std::string &data, const std::string &name) { return compress({{name, data}}); }

namespace {
uint32_t next(uint32_t &x) {  // xorshift32
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    return x;
}
}  // namespace

std::string text_bytes(size_t n, uint32_t seed) {
    static const char *const words[] = {"the",  "archive", "member", "window", "of",      "and",   "a",
                                        "code", "block",   "tree",   "match",  "literal", "to",    "in",
                                        "is",   "length",  "file",   "data",   "stream",  "build", "run"};
    uint32_t x = seed ? seed : 1;
    std::string s;
    while (s.size() < n) {
        s += words[next(x) % (sizeof words / sizeof *words)];
        s += (next(x) % 11 == 0) ? ".\n" : " ";
    }
    s.resize(n);
    return s;
}

std::vector<Member> expect_members(const std::string &payload, const Files &files) {
    std::vector<Member> members = parse_members(payload);
    EXPECT_EQ(members.size(), files.size());
    uint32_t total = 0;
    for (size_t i = 0; i < std::min(members.size(), files.size()); i++) {
        const auto &[name, data] = files[i];
        SCOPED_TRACE(name);
        EXPECT_TRUE(members[i].ok) << members[i].error;
        total += static_cast<uint32_t>(data.size());
        EXPECT_EQ(members[i].name, name.substr(name.rfind('/') + 1));
        EXPECT_TRUE(members[i].body.data == data) << "decoded bytes differ";
        EXPECT_EQ(members[i].crc, crc32_of(data));
        EXPECT_EQ(members[i].isize, total);
    }
    return members;
}

std::vector<std::string> members_alone(const Files &files) {
    const std::string archive = compress(files);
    const std::vector<Member> members = expect_members(archive, files);
    std::vector<std::string> alone;
    for (size_t i = 0; i < std::min(members.size(), files.size()); i++) {
        std::string one = archive.substr(members[i].start, members[i].end - members[i].start);
        for (size_t k = 0; k < 4; k++) one[one.size() - 4 + k] = static_cast<char>(files[i].second.size() >> (8 * k));
        alone.push_back(one);
    }
    EXPECT_EQ(members.empty() ? 0 : members.back().end, archive.size());
    return alone;
}

Files corpus() {
    Files c;
    auto runs = [](size_t n, uint32_t seed) {  // runs of random bytes, 1 to 300 long
        const std::string r = random_bytes(n / 64 + 1, seed);
        std::string s;
        for (size_t i = 0; s.size() < n; i++) s.append(1 + static_cast<unsigned char>(r[i % r.size()]) % 300, r[i % r.size()]);
        s.resize(n);
        return s;
    };
    for (size_t n : {0u, 1u, 2u, 3u, 261u, 262u, 263u, 32767u, 32768u, 32769u, 65274u, 65275u, 65279u, 65400u,
                     65534u, 65535u, 65536u, 65537u}) {
        const std::string k = std::to_string(n);
        const uint32_t seed = static_cast<uint32_t>(n);
        c.emplace_back("text" + k, text_bytes(n, seed + 1));
        c.emplace_back("random" + k, random_bytes(n, seed + 2));
        c.emplace_back("runs" + k, runs(n, seed + 3));
    }
    c.emplace_back("zeros", std::string(300000, '\0'));
    c.emplace_back("runs", runs(500000, 3));
    c.emplace_back("kivra", read_file(kivra_bin()));
    for (const auto &[name, size, text, noise, repeat] : {std::tuple{"mixed", 1u << 20, 40000, 7000, 15000},
                                                         std::tuple{"mixed3m", 3u << 20, 70000, 9000, 20000}}) {
        std::string mixed;
        for (uint32_t k = 0; mixed.size() < size; k++) {
            mixed += text_bytes(text, k + 10);
            mixed += random_bytes(noise, k + 20);
            mixed += mixed.substr(mixed.size() / 3, repeat);
        }
        c.emplace_back(name, mixed);
    }
    return c;
}

std::string hex(const std::string &s) {
    std::string h;
    for (unsigned char c : s) {
        if (!h.empty()) h += ' ';
        h += "0123456789abcdef"[c >> 4];
        h += "0123456789abcdef"[c & 15];
    }
    return h;
}

}  // namespace testkit
