// features.cc - the feature list and the placeholders of the archive's commands.
//
// The feature list (the features buffer) is a comma-separated list of words,
// bare flags ("NOCOMPR") or KEY=value words ("VFYFS=/tmp"), looked up by plain
// substring. The two shell commands of an archive may hold the placeholders
// "%o" (the output name, ofname) and "%p" (the working directory). A member
// name comes from whoever built the archive, so the shell must read exactly
// the value, whatever characters it holds, and run nothing of it.
//
// The expansion therefore reads the command as the shell will, with a stack of
// contexts (outside quotes, '...', "...", $(...), `...`, ${name...}, $((...)),
// comments, here-document bodies), and writes each value in the spelling its
// context reads back as exactly the value: a value made only of characters the
// shell takes literally goes in unchanged. A backquoted command is read as a
// command of its own after the one level of backslashes the shell strips, and
// its spellings are escaped for that level. Where no sound spelling exists
// (a line break in a here-document, a placeholder in arithmetic or in the
// name or pattern of ${...}, or a reading the scanner cannot be sure of), the
// command is refused with a one-line message and not run. The spellings also
// get round what bash reads differently from /bin/sh ({a,b} brace expansion,
// quotes inside "${...}"); the tests run every context through both shells.
//
// Buffers are never overrun: a word that would make the list longer than
// TEXT_MAX, or an expansion longer than EXPAND_BUF - 1, is refused with a
// one-line message.
#include "kivra.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <unistd.h>
#include <vector>

namespace {

char fstr[FEATURE_WORD_MAX + 1];  // latest get_feature result; last byte stays NUL
char *buf;                        // latest replace_program_parms block (owned by the caller)

// Where a position of a shell command stands: one frame per construct the
// shell is inside at that point, innermost last.
enum class Ctx {
    word,     // outside quotes: the command itself, $(...), or the word of ${name:-word}
    single,   // '...'
    dbl,      // "...", or the word of ${name:-word} inside double quotes
    brace,    // ${ up to the end of its operator
    arith,    // arithmetic: $((...)), ((...)), bash's $[...]
    ansi,     // $'...'
    comment,  // from a '#' that starts a word to the end of the line
    heredoc,  // a here-document body
};

struct Heredoc {
    std::string delim;
    bool quoted = false;      // some part of the delimiter word was quoted: the body is literal
    bool strip_tabs = false;  // <<-
};

struct Frame {
    explicit Frame(Ctx k, char c = 0) : kind(k), closer(c) {}
    Ctx kind;
    char closer;              // word: ')' for $(...), '}' for a ${...} word, 0 at the top;
                              // dbl: '"', or '}' for a ${...} word in double quotes
    bool refuse = false;      // word, dbl: the pattern or operand of ${...}: no placeholder
    bool flipped = false;     // dbl: nested in "${...}" or "`...`", where bash misreads quotes
    int depth = 0;            // word in $(...), arith: open parentheses (brackets in $[...])
    int braces = 0;           // word: open braces of the current word ({a,b})
    bool word_start = true;   // word: the next character starts a word
    bool tilde = false;       // word: inside a tilde prefix (~name) the shell may expand
    char last = 0;            // word: the last unquoted ordinary character of the word
    std::vector<Heredoc> pending;  // word: here-documents whose bodies follow the next line
    Heredoc doc;              // heredoc
    size_t body = 0;          // heredoc: offset of its first line
    bool line_start = true;   // heredoc
};

struct Edit {
    size_t at, len;   // the span of the command it replaces
    std::string text;
    char ph;          // 'o' or 'p'; 0 for an added brace
};

// The values the placeholders stand for; the working directory is asked for
// only when "%p" occurs.
struct Values {
    std::string cwd;
    bool have_cwd = false;
};

bool one_of(char c, const char *set) { return c != '\0' && std::strchr(set, c) != nullptr; }

// Characters the shell takes literally outside quotes, wherever the word stands.
bool shell_literal(char c) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
    return one_of(c, "/._-+,:@=%");
}
bool name_start(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_'; }
bool name_char(char c) { return name_start(c) || (c >= '0' && c <= '9'); }
bool blank(char c) { return c == ' ' || c == '\t'; }
bool word_end(char c) { return blank(c) || one_of(c, "\n;&|<>()"); }

// "NAME=..." would be read as an assignment in front of a command.
bool assignment(std::string_view v) {
    size_t k = 0;
    while (k < v.size() && (k == 0 ? name_start(v[k]) : name_char(v[k]))) k++;
    return k > 0 && k < v.size() && v[k] == '=';
}

std::string escaped(std::string_view v, const char *special) {
    std::string s;
    for (char c : v) {
        if (one_of(c, special)) s += '\\';
        s += c;
    }
    return s;
}

std::string replaced(std::string_view v, char c, std::string_view by) {
    std::string s;
    for (char x : v) s += x == c ? std::string(by) : std::string(1, x);
    return s;
}

std::string single_quoted(std::string_view v) {
    std::string s(1, '\'');
    s += replaced(v, '\'', "'\\''");
    s += '\'';
    return s;
}

constexpr int BACKQUOTE_DEPTH_MAX = 16;

// Reads a command as the shell will and collects the edits that replace its
// placeholders with their spellings. A backquoted part is read as a command of
// its own (the shell strips one level of backslashes first), and its edits are
// escaped for that level on the way out.
class Scanner {
public:
    // dquoted: the text is that of a backquoted command inside double quotes.
    Scanner(std::string_view text, Values &values, int level, bool dquoted)
        : t_(text), v_(values), level_(level), dquoted_(dquoted) {}

    // The edits in order, or false with the reason in why.
    bool run(std::vector<Edit> &edits, std::string &why) {
        stack_.push_back(Frame{Ctx::word});
        while (ok() && i_ < t_.size()) step();
        for (const Frame &f : stack_)
            if (f.kind == Ctx::heredoc) bodies_.push_back({f.body, t_.size(), f.doc});
        if (ok()) check_heredoc_lines();
        if (!ok()) {
            why = why_;
            return false;
        }
        edits = std::move(edits_);
        return true;
    }

private:
    struct Body {
        size_t begin, end;
        Heredoc doc;
    };

    std::string_view t_;
    Values &v_;
    int level_;
    bool dquoted_;
    size_t i_ = 0;
    std::vector<Frame> stack_;
    std::vector<Edit> edits_;
    std::vector<Body> bodies_;
    std::string why_;
    const char *lost_ = nullptr;  // why the reading from here on is uncertain
    size_t name_at_ = 0, name_end_ = SIZE_MAX;  // the latest $name: its '$' and its end
    size_t compare_end_ = 0;  // bash evaluates the operands of -eq ... in [[ ]] up to here

    bool ok() const { return why_.empty(); }
    char at(size_t k) const { return k < t_.size() ? t_[k] : '\0'; }
    bool placeholder(size_t k) const { return at(k) == '%' && (at(k + 1) == 'o' || at(k + 1) == 'p'); }
    Frame &top() { return stack_.back(); }
    bool in_heredoc() const {
        for (const Frame &f : stack_)
            if (f.kind == Ctx::heredoc) return true;
        return false;
    }
    void refuse(char ph, const char *what) {
        if (ok()) why_ = std::string("%") + ph + " " + what;
    }
    void push(Ctx kind, char closer = 0) {
        Frame f(kind, closer);
        f.flipped = kind == Ctx::dbl && ((top().kind == Ctx::dbl && top().closer == '}') ||
                                         (dquoted_ && stack_.size() == 1));
        stack_.push_back(f);
    }

    void add_edit(Edit e) {
        if (in_heredoc() && e.text.find('\n') != std::string::npos)
            return refuse(e.ph, "holds a line break, which a here-document cannot take");
        edits_.push_back(std::move(e));
    }

    // Replaces the placeholder at i_ + skip, together with the skip characters
    // before it, by a spelling that makes the shell read prefix + value.
    void place(size_t skip, std::string_view prefix) {
        const size_t start = i_;
        const char ph = at(start + skip + 1);
        i_ = start + skip + 2;
        Frame &f = top();
        if (lost_ != nullptr) return refuse(ph, lost_);
        if (start < compare_end_) return refuse(ph, "cannot be written safely in [[ ... ]] with arithmetic");
        std::string full(prefix);
        if (ph == 'o') {
            full += ofname;
        } else {
            if (!v_.have_cwd) {
                char cwd[EXPAND_BUF];
                if (getcwd(cwd, sizeof cwd) == nullptr) {
                    why_ = std::string("cannot get the working directory: ") + std::strerror(errno);
                    return;
                }
                v_.cwd = cwd;
                v_.have_cwd = true;
            }
            full += v_.cwd;
        }
        std::string s;
        switch (f.kind) {
        case Ctx::word:
            if (f.refuse) return refuse(ph, "cannot be written safely in the pattern or operand of ${...}");
            if (full.empty()) {
                s = f.word_start || f.tilde || f.braces > 0 ? "''" : "";  // keep a word, no ~name
            } else {
                bool literal = !f.tilde && f.braces == 0 && !assignment(full);
                for (char c : full) literal = literal && shell_literal(c);
                s = literal ? full : single_quoted(full);
            }
            f.word_start = f.word_start && s.empty();
            f.tilde = false;
            f.last = 0;
            break;
        case Ctx::single:
            s = single_quoted(full);
            s = s.substr(1, s.size() - 2);
            break;
        case Ctx::dbl:
            if (f.refuse) return refuse(ph, "cannot be written safely in the pattern or operand of ${...}");
            s = escaped(full, "$`\"\\");
            // bash looks for {a,b} in the raw text of a word, taking quotes
            // inside "${...}" or "`...`" for the end of the outer ones.
            if (f.flipped || f.closer == '}') s = replaced(s, '{', "\"{\"");
            // In "${x:-...}" bash takes ' for a quote: the value goes in quotes of its own.
            if (f.closer == '}') s = '"' + s + '"';
            break;
        case Ctx::heredoc:
            s = f.doc.quoted ? full : escaped(full, "$`\\");
            break;
        case Ctx::comment:
            if (full.find('\n') != std::string::npos)
                return refuse(ph, "holds a line break, which would end the comment it stands in");
            s = full;
            break;
        case Ctx::brace:
            return refuse(ph, "cannot be written safely in the name or operator of ${...}");
        case Ctx::arith:
            return refuse(ph, "cannot be written safely in arithmetic");
        case Ctx::ansi:
            return refuse(ph, "cannot be written safely inside $'...'");
        }
        // "$name%o": keep the value from lengthening the name.
        if (name_end_ == start && !s.empty() && name_char(s[0])) {
            add_edit({name_at_ + 1, 0, "{", 0});
            s = "}" + s;
        }
        add_edit({start, skip + 2, std::move(s), ph});
    }

    // '$' at i_ in a context where it is special.
    void dollar(bool quoted) {
        const char n = at(i_ + 1);
        if (placeholder(i_ + 1)) return place(1, "$");
        if ((n == '(' && at(i_ + 2) == '(') || n == '[') {
            push(Ctx::arith, n == '[' ? ']' : ')');
            i_ += n == '[' ? 2 : 3;
        } else if (n == '(') {
            push(Ctx::word, ')');
            i_ += 2;
        } else if (n == '{') {
            Frame f{Ctx::brace};
            f.closer = quoted ? '"' : 0;  // remembers where the word will stand
            stack_.push_back(f);
            i_ += 2;
        } else if (n == '\'' && !quoted) {
            push(Ctx::ansi);
            i_ += 2;
        } else if (name_start(n)) {
            name_at_ = i_;
            i_ += 1;
            while (name_char(at(i_))) i_++;
            name_end_ = i_;
        } else if (one_of(n, "$#?!@*-0123456789")) {
            i_ += 2;
        } else {
            i_ += 1;
        }
    }

    // A backquoted command at i_: read it as a command of its own.
    void backquote(bool dquoted, bool heredoc) {
        size_t j = i_ + 1;
        while (j < t_.size() && t_[j] != '`') j += t_[j] == '\\' ? 2 : 1;
        j = std::min(j, t_.size());
        std::string inner;
        std::vector<size_t> from, to;  // where each inner character comes from
        bool differs = false;          // shells strip this level differently
        for (size_t k = i_ + 1; k < j;) {
            char c = t_[k], n = at(k + 1);
            bool strip = c == '\\' && k + 1 < j && (n == '$' || n == '`' || n == '\\' || (dquoted && n == '"'));
            differs = differs || (strip && heredoc && n == '"');
            inner += strip ? n : c;
            from.push_back(k);
            k += strip ? 2 : 1;
            to.push_back(k);
        }
        i_ = j + 1;
        if (level_ >= BACKQUOTE_DEPTH_MAX) {
            if (inner.find("%o") != std::string::npos || inner.find("%p") != std::string::npos)
                refuse(inner.find("%o") != std::string::npos ? 'o' : 'p', "stands in backquotes nested too deep");
            return;
        }
        std::vector<Edit> sub;
        std::string why;
        if (!Scanner(inner, v_, level_ + 1, dquoted && !heredoc).run(sub, why)) {
            why_ = why;
            return;
        }
        for (Edit &e : sub) {
            if (lost_ != nullptr || differs) return refuse(e.ph != 0 ? e.ph : 'o', lost_ != nullptr ? lost_ : "stands where the shells read the command differently");
            size_t a = e.at < from.size() ? from[e.at] : std::min(j, t_.size());
            size_t b = e.len > 0 ? to[e.at + e.len - 1] : a;
            add_edit({a, b - a, escaped(e.text, "\\`$"), e.ph});
        }
    }

    // "<<" at i_: note the here-document whose body follows the next line.
    void here_document(Frame &f) {
        i_ += 2;
        Heredoc d;
        if (at(i_) == '-') {
            d.strip_tabs = true;
            i_++;
        }
        while (blank(at(i_))) i_++;
        while (i_ < t_.size() && !word_end(t_[i_])) {
            char c = t_[i_];
            if (placeholder(i_)) return refuse(at(i_ + 1), "cannot be written safely in a here-document delimiter");
            if (c == '\'' || c == '"') {
                d.quoted = true;
                size_t e = i_ + 1;
                while (e < t_.size() && t_[e] != c) {
                    if (c == '"' && t_[e] == '\\' && one_of(at(e + 1), "$`\"\\")) e++;
                    d.delim += t_[e++];
                }
                i_ = e + 1;
            } else if (c == '\\') {
                d.quoted = true;
                d.delim += at(i_ + 1);
                i_ += 2;
            } else {
                d.delim += c;
                i_++;
            }
        }
        f.pending.push_back(d);
        f.word_start = true;
    }

    void step() {
        Frame &f = top();
        const char c = t_[i_];
        if (f.kind == Ctx::heredoc && f.line_start) {
            size_t e = std::min(t_.find('\n', i_), t_.size());
            std::string_view line = t_.substr(i_, e - i_);
            while (f.doc.strip_tabs && !line.empty() && line[0] == '\t') line.remove_prefix(1);
            f.line_start = false;
            if (line == f.doc.delim) {
                bodies_.push_back({f.body, i_, f.doc});
                stack_.pop_back();
                i_ = std::min(e + 1, t_.size());
            }
            return;
        }
        if (placeholder(i_)) return place(0, "");
        if (c == '%' && at(i_ + 1) == '%' && f.kind != Ctx::brace) {  // two ordinary characters
            i_ += 2;
            f.word_start = false;
            f.last = '%';
            return;
        }
        switch (f.kind) {
        case Ctx::word: return step_word(f, c);
        case Ctx::dbl: return step_dquoted(f, c, false);
        case Ctx::heredoc:
            if (c == '\n') {
                f.line_start = true;
                i_++;
                return;
            }
            if (f.doc.quoted) {
                i_++;
                return;
            }
            return step_dquoted(f, c, true);
        case Ctx::single:
            if (c == '\'') stack_.pop_back();
            i_++;
            return;
        case Ctx::ansi:
            if (c == '\'') stack_.pop_back();
            i_ += c == '\\' ? 2 : 1;
            return;
        case Ctx::comment:
            if (c == '\n') stack_.pop_back();  // the newline is the command's again
            else i_++;
            return;
        case Ctx::brace: return step_brace();
        case Ctx::arith: {
            const char open = f.closer == ']' ? '[' : '(';
            if (c == open) f.depth++;
            if (c == f.closer && f.depth == 0 && (open == '[' || at(i_ + 1) == ')')) {
                stack_.pop_back();
                i_ += open == '[' ? 1 : 2;
                return;
            }
            if (c == f.closer && f.depth > 0) f.depth--;
            if (c == '$') return dollar(false);
            if (c == '`') return backquote(false, false);
            if (c == '\'') push(Ctx::single);
            if (c == '"') push(Ctx::dbl, '"');
            i_ += c == '\\' ? 2 : 1;
            return;
        }
        }
    }

    // ${ up to its operator; what follows is a word of its own kind.
    void step_brace() {
        size_t k = i_;
        if (at(k) == '#' && at(k + 1) != '}') k++;  // ${#name}: the length
        if (one_of(at(k), "$#?!@*-0123456789")) k++;
        else while (name_char(at(k))) k++;
        i_ = k;
        if (placeholder(k)) return refuse(at(k + 1), "cannot be written safely in the name or operator of ${...}");
        const char c = at(k);
        if (c == '}') {
            stack_.pop_back();
            i_++;
            return;
        }
        if (c == '\0') return;
        bool word = true;
        if (c == ':' && one_of(at(k + 1), "-=?+")) i_ += 2;
        else if (one_of(c, "-=?+")) i_ += 1;
        else {
            word = false;  // a pattern (# ## % %% / ...) or an offset: no placeholder there
            i_ += c == '%' && at(k + 1) == '%' ? 2 : 1;
        }
        const bool quoted = top().closer == '"';
        Frame f{quoted ? Ctx::dbl : Ctx::word};
        f.closer = '}';
        f.refuse = !word;
        stack_.push_back(f);
    }

    void plain(Frame &f, char c) {
        if (c == '~' && (f.word_start || f.last == '=' || f.last == ':')) f.tilde = true;
        if (c == '/') f.tilde = false;
        f.word_start = false;
        f.last = c;
        i_++;
    }

    void quoted_part(Frame &f) {
        f.word_start = false;
        f.tilde = false;
        f.last = 0;
    }

    void step_word(Frame &f, char c) {
        const bool command = f.closer != '}';  // not the word of ${...}: a command line
        if (c == '\\') {
            if (placeholder(i_ + 1)) return place(1, "");
            if (at(i_ + 1) != '\n') quoted_part(f);  // else a line continuation
            i_ = std::min(i_ + 2, t_.size());
            return;
        }
        if (c == '\'' || c == '"') {
            quoted_part(f);
            push(c == '"' ? Ctx::dbl : Ctx::single, c);
            i_++;
            return;
        }
        if (c == '`') {
            quoted_part(f);
            return backquote(false, false);
        }
        if (c == '$') {
            quoted_part(f);
            return dollar(false);
        }
        if (!command) {
            if (c == '{') lost_ = "stands where the shells read the command differently ({ inside ${...})";
            if (c == '}') {
                stack_.pop_back();  // the word
                stack_.pop_back();  // its ${
                i_++;
                return;
            }
            return plain(f, c);
        }
        if (c == '#' && f.word_start) {
            push(Ctx::comment);
            i_++;
            return;
        }
        if (f.word_start && c == '(' && at(i_ + 1) == '(') {  // bash's ((...)) command
            push(Ctx::arith, ')');
            i_ += 2;
            return;
        }
        if (f.word_start && t_.substr(i_, 2) == "[[" && word_end(at(i_ + 2))) {
            const size_t end = std::min(t_.find("]]", i_), t_.size());
            for (const char *op : {"-eq", "-ne", "-lt", "-le", "-gt", "-ge"})
                if (t_.substr(i_, end - i_).find(op) != std::string_view::npos) compare_end_ = end;
        }
        if (word_end(c)) {
            f.word_start = true;
            f.tilde = false;
            f.last = 0;
            f.braces = 0;
            if (c == '<' && at(i_ + 1) == '<') {
                if (at(i_ + 2) == '<') {  // <<< word: a here-string, an ordinary word follows
                    i_ += 3;
                    return;
                }
                return here_document(f);
            }
            if (c == '(') f.depth++;
            if (c == ')' && f.depth == 0 && f.closer == ')') {
                stack_.pop_back();
                i_++;
                return;
            }
            if (c == ')' && f.depth > 0) f.depth--;
            i_++;
            if (c == '\n' && !f.pending.empty()) {
                std::vector<Heredoc> docs = std::move(f.pending);
                f.pending.clear();
                for (auto d = docs.rbegin(); d != docs.rend(); ++d) {  // the first body comes first
                    Frame h{Ctx::heredoc};
                    h.doc = *d;
                    h.body = i_;
                    stack_.push_back(h);
                }
            }
            return;
        }
        if (f.closer == ')' && f.word_start && t_.substr(i_, 4) == "case" && word_end(at(i_ + 4)))
            lost_ = "stands where the command's reading is unclear (case inside $(...))";
        if (c == '{') f.braces++;
        if (c == '}' && f.braces > 0) f.braces--;
        plain(f, c);
    }

    // Inside double quotes, the word of ${...} inside them, or an unquoted
    // here-document body.
    void step_dquoted(Frame &f, char c, bool heredoc) {
        if (c == '\\') {
            if (placeholder(i_ + 1)) return place(1, "\\");
            i_ = std::min(i_ + 2, t_.size());
            return;
        }
        if (c == '`') return backquote(true, heredoc);
        if (c == '$') return dollar(true);
        i_++;
        if (heredoc) return;
        if (c == '"' && f.closer == '"') {
            stack_.pop_back();
        } else if (c == '}' && f.closer == '}') {
            stack_.pop_back();  // the word
            stack_.pop_back();  // its ${
        } else if (c == '"') {
            push(Ctx::dbl, '"');
        }
    }

    // Lines of here-document bodies that the values turned into the delimiter.
    void check_heredoc_lines() {
        for (const Body &b : bodies_) {
            for (size_t ls = b.begin; ls < b.end;) {
                size_t le = std::min(t_.find('\n', ls), b.end);
                std::string line;
                size_t pos = ls;
                char ph = 0;
                for (const Edit &e : edits_) {
                    if (e.at < ls || e.at >= le) continue;
                    line.append(t_.substr(pos, e.at - pos));
                    line += e.text;
                    pos = e.at + e.len;
                    if (ph == 0) ph = e.ph;
                }
                line.append(t_.substr(pos, le - pos));
                std::string_view l = line;
                while (b.doc.strip_tabs && !l.empty() && l[0] == '\t') l.remove_prefix(1);
                if (ph != 0 && l == b.doc.delim) return refuse(ph, "would end the here-document early");
                ls = le + 1;
            }
        }
    }
};

}  // namespace

// Appends one or more words to the list, with a comma before them unless the
// list is empty. An empty word on a non-empty list leaves a trailing comma.
// Returns 0, or -1 after a message when the list would exceed TEXT_MAX.
int add_feature(const char *f) {
    size_t have = std::strlen(features);
    size_t add = std::strlen(f);
    size_t sep = have != 0 ? 1 : 0;
    if (have + sep + add > TEXT_MAX) {
        report("feature list longer than %u characters: cannot add \"%s\"", TEXT_MAX, f);
        return -1;
    }
    if (sep) features[have++] = ',';
    std::memcpy(features + have, f, add + 1);
    return 0;
}

// The word of the list that starts with the first occurrence of f as a plain
// substring, cut at the next comma (and then trimmed), at most
// FEATURE_WORD_MAX characters; NULL when f does not occur. The result lives in
// a static buffer overwritten by the next call.
char *get_feature(const char *f) {
    const char *hit = std::strstr(features, f);
    if (hit == nullptr) return nullptr;
    std::strncpy(fstr, hit, FEATURE_WORD_MAX);
    fstr[FEATURE_WORD_MAX] = '\0';
    if (char *comma = std::strchr(fstr, ','); comma != nullptr) {
        *comma = '\0';
        strtrim(fstr);
    }
    return fstr;
}

std::vector<std::string_view> feature_words() {
    std::vector<std::string_view> words;
    if (features[0] == '\0') return words;
    for (std::string_view rest = features;;) {
        const size_t comma = rest.find(',');
        words.push_back(rest.substr(0, comma));
        if (comma == std::string_view::npos) return words;
        rest.remove_prefix(comma + 1);
    }
}

std::optional<std::string_view> feature_value(std::string_view key) {
    for (std::string_view word : feature_words())
        if (word.starts_with(key)) return word.substr(key.size());
    return std::nullopt;
}

// Cuts trailing blanks, tabs, line feeds and carriage returns in place and
// returns the remaining length. Leading blanks stay.
int strtrim(char *s) {
    size_t n = std::strlen(s);
    while (n > 0 && (s[n - 1] == ' ' || s[n - 1] == '\t' || s[n - 1] == '\n' || s[n - 1] == '\r'))
        s[--n] = '\0';
    return static_cast<int>(n);
}

// Expands "%o" (ofname) and "%p" (the working directory) in pgm into a new
// zero-filled EXPAND_BUF block that the caller frees. '%' followed by any other
// character, and a final '%', stay as they are. Each value is written so that
// the shell, reading the command, takes exactly the value where the
// placeholder stands (see Scanner); a value made only of characters the shell
// takes literally goes in unchanged.
// Returns NULL after a one-line message when no safe spelling exists, the
// result would exceed EXPAND_BUF - 1 characters, the working directory cannot
// be had, or memory runs out.
char *replace_program_parms(const char *pgm) {
    auto fail = [pgm](const std::string &why) -> char * {
        std::string shown;  // the command on one line
        for (const char *s = pgm; *s != '\0'; s++) {
            unsigned char c = static_cast<unsigned char>(*s);
            char esc[8];
            if (c == '\n') shown += "\\n";
            else if (c == '\t') shown += "\\t";
            else if (c < 0x20 || c == 0x7f) {
                std::snprintf(esc, sizeof esc, "\\%03o", c);
                shown += esc;
            } else shown += static_cast<char>(c);
        }
        report("cannot expand command \"%s\": %s", shown.c_str(), why.c_str());
        return nullptr;
    };
    Values values;
    std::vector<Edit> edits;
    std::string why;
    if (!Scanner(pgm, values, 0, false).run(edits, why)) return fail(why);
    std::stable_sort(edits.begin(), edits.end(), [](const Edit &x, const Edit &y) { return x.at < y.at; });

    char *block = static_cast<char *>(std::calloc(EXPAND_BUF, 1));
    if (block == nullptr) {
        report("out of memory");
        return nullptr;
    }
    std::string_view text = pgm;
    size_t len = 0, pos = 0;
    auto put = [&](std::string_view s) {
        if (s.size() > EXPAND_BUF - 1 - len) return false;
        std::memcpy(block + len, s.data(), s.size());
        len += s.size();
        return true;
    };
    bool fits = true;
    for (const Edit &e : edits) {
        fits = fits && put(text.substr(pos, e.at - pos)) && put(e.text);
        pos = e.at + e.len;
    }
    fits = fits && put(text.substr(pos));
    if (!fits) {
        std::free(block);
        return fail("result longer than 2047 characters");
    }
    buf = block;
    return block;
}
