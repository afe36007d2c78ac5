// placeholders.cc - the placeholders "%o" and "%p" of the archive's two shell
// commands.
//
// "%o" stands for the output name (ofname, which comes from the archive) and
// "%p" for the working directory (which comes from the user's filesystem):
// both untrusted. No byte of either value is ever written into the text a
// shell reads. The values go into the environment under NAME_VAR and DIR_VAR,
// and each placeholder becomes a fixed reference to its variable, spelled for
// the quoting it stands in: "${V}" outside quotes, ${V} inside double quotes
// and here-document bodies, '"${V}"' inside single quotes. A shell expands a
// parameter once and never reads its value as syntax, so where the scanner
// below guesses the context wrong, the command gets a wrong literal, never
// the value as a command. A quoted here-document body, which expands nothing,
// is rewritten as an unquoted one that reads the same text ('\', '$' and '`'
// escaped, the delimiter unquoted), so a reference works there too.
//
// What a reference cannot make safe is refused, with one line naming the
// placeholder and the construct: places where the shell evaluates a value as
// arithmetic or uses it as a variable name ($((...)), ((...)), [[ ]], let,
// declare with options, read, printf -v, subscripts, test's -eq and -v, ...),
// commands that read their arguments or input as shell text again (eval,
// trap, a shell's -c string or input, su -c, ssh, watch, alias), $'...', the
// name or pattern of ${...}, and readings the shells do not share (an unusual
// here-document delimiter, case or a comment with ')' inside $(...), a
// here-document opened inside $(...) whose body follows the ')'). Authors use
// the variables themselves there: sh -c 'cd "$KIVRA_DIR" && ...'.
//
// The scanner follows quotes, $(...), backquotes (a command of its own after
// one level of backslashes), ${...}, arithmetic, comments, here-documents and
// backslash-newline continuations; it needs no values, so the builder runs the
// same checks on the commands it stores. The shown form of a command (for the
// -v prompt and failure reports) has the values inserted, quoted for their
// context, as the command behaves.
#include "kivra.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <unistd.h>
#include <vector>

namespace {

enum class Ctx { word, single, dbl, brace, arith, ansi, comment, heredoc };
// How a placeholder is written: the reference, and the value in the shown form.
enum class Spell { word, dbl, single, doc, doc_quoted, comment };

struct Edit {
    size_t at, len;    // the span of the command it replaces
    char ph;           // 'o' or 'p'; 0: text of the command rewritten (text)
    Spell spell;       // placeholder
    char prefix;       // placeholder: '$' or '\\' written just before it, part of the span
    std::string text;  // rewrite: the new text
    int levels;        // backquotes around it: each escapes '\\', '`' and '$' once more
};

// One word of a command: its text after quote removal, '\1' standing for an
// expansion.
struct Word {
    std::string text;
    bool literal = true;   // no expansion in it
    int name = 0;          // unquoted start: 0 a name so far, 1 inside NAME[...], 2 after NAME=, 3 other
    std::string assigned;  // name == 2: the variable assigned
    bool ph = false, ph_before_eq = false, ph_in_value = false;
};

// The simple commands of one pipeline.
struct Pipeline {
    std::vector<std::vector<Word>> cmds{1};
    char ph = 0;  // the first placeholder in its words
};

struct Heredoc {
    std::string delim;
    bool quoted = false, strip_tabs = false, plain = true;  // plain: a delimiter every shell reads alike
    size_t word_at = 0, word_len = 0;                       // the delimiter word in the command
    const char *why = nullptr;                              // its command takes no placeholder in the body
};

struct Frame {
    Frame(Ctx k, char c = 0) : kind(k), closer(c) {}
    Ctx kind;
    char closer;            // word: ')' for $(...), '}' for a ${...} word, 0 at the top; dbl: '"' or '}'
    bool refuse = false;    // a ${...} pattern or offset: no placeholder
    bool quoted = false;    // brace: the ${ stands in double quotes
    int depth = 0;          // parentheses (brackets in $[...]) open
    bool dbrack = false;    // word: inside [[ ... ]]
    bool in_word = false;   // word: a word has begun
    Word cur;               // word: the word being read
    Pipeline pipe;          // word: the pipeline being read
    std::vector<Heredoc> pending;  // word: here-documents whose bodies follow the next line
    Heredoc doc;            // heredoc
    size_t body = 0;        // heredoc: offset of its first line
    bool line_start = true, has_ph = false;
};

// What every level of backquotes shares.
struct Shared {
    bool aliases = false;
    bool typed = false;      // variables used as numbers or names: arithmetic, let, declare -i, test -eq
    bool ph_assign = false;  // a placeholder in the value of an assignment
    char first_ph = 0;
};

bool one_of(char c, const char *set) { return c != '\0' && std::strchr(set, c) != nullptr; }
bool name_start(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_'; }
bool name_char(char c) { return name_start(c) || (c >= '0' && c <= '9'); }
bool blank(char c) { return c == ' ' || c == '\t'; }
bool word_end(char c) { return blank(c) || one_of(c, "\n;&|<>()"); }
template <typename Set> bool in(std::string_view w, const Set &set) {
    return std::find(set.begin(), set.end(), w) != set.end();
}
bool in(std::string_view w, std::initializer_list<std::string_view> set) { return in<decltype(set)>(w, set); }
std::string_view base(std::string_view w) {
    size_t s = w.rfind('/');
    return s == std::string_view::npos ? w : w.substr(s + 1);
}
// -c, -ec, -lc ...: an option cluster that holds c (a command string follows).
bool c_option(std::string_view w) {
    return w.size() >= 2 && w[0] == '-' && w[1] != '-' && w.find('c') != std::string_view::npos;
}

constexpr std::array<std::string_view, 12> SHELLS = {"sh",  "bash", "dash", "ash",  "ksh",  "ksh93",
                                                      "mksh", "lksh", "zsh", "yash", "posh", "busybox"};
constexpr std::array<std::string_view, 5> DECLARE = {"declare", "typeset", "local", "export", "readonly"};

// Why a placeholder in this pipeline cannot stay a value, or nullptr.
// in_body: the placeholder stands in a here-document the pipeline reads.
const char *pipeline_refusal(const Pipeline &p, bool in_body) {
    for (const std::vector<Word> &ws : p.cmds) {
        bool c_opt = false, v_opt = false, test_op = false, option = false, ph_name = false;
        for (const Word &w : ws) {
            c_opt = c_opt || c_option(w.text);
            v_opt = v_opt || w.text == "-v";
            test_op = test_op || in(w.text, {"-eq", "-ne", "-lt", "-le", "-gt", "-ge", "-v", "-R"});
        }
        size_t k = 0;  // the command word, after assignments and words that run the next one
        while (k < ws.size() && (ws[k].name == 2 || in(ws[k].text, {"if", "then", "else", "elif", "do", "while", "until",
                                                                  "!", "{", "time", "command", "builtin", "exec",
                                                                  "nohup"})))
            k++;
        const std::string_view cmd = k < ws.size() ? std::string_view(ws[k].text) : std::string_view();
        for (size_t j = k + 1; j < ws.size(); j++) {
            option = option || ws[j].text.starts_with('-') || ws[j].text.starts_with('+');
            ph_name = ph_name || ws[j].ph_before_eq;
        }
        for (const Word &w : ws) {
            if (in(w.text, {"eval", "trap", "alias", "fc"}) || in(base(w.text), {"ssh", "rsh", "watch"}))
                return "would be read as shell text again (eval, trap, alias, ssh, watch)";
            if (in(w.text, {"let", "integer", "nameref"})) return "would be evaluated as arithmetic or a name (let)";
            if (in(base(w.text), SHELLS) && (c_opt || in_body || p.cmds.size() > 1))
                return "would be read as shell text again (a shell's -c string or input)";
            if (in(base(w.text), {"su", "runuser", "flock", "script"}) && c_opt)
                return "would be read as shell text again (-c)";
            if (!in_body && w.name == 2 && w.ph_in_value &&
                in(w.assigned, {"PS1", "PS2", "PS3", "PS4", "PROMPT_COMMAND", "ENV", "BASH_ENV"}))
                return "would be read as shell text again (a prompt or ENV variable)";
        }
        if (k < ws.size() && !ws[k].literal && c_opt) return "would be read as shell text again (-c)";
        if (in_body) continue;  // the body is the command's input: only a reader of shell text matters
        if (in(cmd, {"read", "unset", "getopts", "mapfile", "readarray"}) ||
            (in(cmd, {"printf", "print"}) && v_opt))
            return "would be used as a variable name (read, unset, printf -v)";
        if (in(cmd, DECLARE) && (option || ph_name))
            return "would be used as a variable name or number (declare, export, local)";
        if (in(cmd, {"[", "test"}) && test_op)
            return "would be evaluated as a number or a name (test -eq, -v)";
        if (in(cmd, {"shift", "ulimit"})) return "would be evaluated as arithmetic (shift, ulimit)";
    }
    return nullptr;
}

// Reads a command as the shell will and collects the edits that replace its
// placeholders (and rewrite the quoted here-documents that hold one). A
// backquoted part is read as a command of its own.
class Scanner {
public:
    Scanner(std::string_view text, Shared &shared, int levels) : t_(text), sh_(shared), levels_(levels) {}

    bool run(std::vector<Edit> &edits, std::string &why) {
        stack_.push_back(Frame{Ctx::word});
        while (ok() && i_ < t_.size()) step();
        while (ok() && stack_.size() > 1) {  // unterminated: close what is open
            if (stack_.back().kind == Ctx::heredoc) end_heredoc(t_.size());
            else if (stack_.back().kind == Ctx::word) close_command_frame();
            else stack_.pop_back();
        }
        if (ok()) close_command_frame();
        if (!ok()) {
            why = why_;
            return false;
        }
        edits.insert(edits.end(), edits_.begin(), edits_.end());
        return true;
    }

private:
    std::string_view t_;
    Shared &sh_;
    int levels_;
    size_t i_ = 0;
    std::vector<Frame> stack_;
    std::vector<Edit> edits_;
    std::string why_;
    const char *lost_ = nullptr;  // why the reading from here on is uncertain

    bool ok() const { return why_.empty(); }
    char at(size_t k) const { return k < t_.size() ? t_[k] : '\0'; }
    bool placeholder(size_t k) const { return at(k) == '%' && (at(k + 1) == 'o' || at(k + 1) == 'p'); }
    // Backslash-newline pairs vanish wherever the shell reads syntax.
    size_t skip_cont(size_t k) const {
        while (at(k) == '\\' && at(k + 1) == '\n') k += 2;
        return k;
    }
    char la(int n) const {  // the n-th character from i_, continuations skipped
        size_t k = skip_cont(i_);
        while (n-- > 0) k = skip_cont(k + 1);
        return at(k);
    }
    void adv(int n) {
        size_t k = skip_cont(i_);
        while (n-- > 0) k = skip_cont(k + 1);
        i_ = k;
    }
    void refuse(char ph, const char *what) {
        if (ok()) why_ = std::string("%") + ph + " " + what;
    }
    Frame &top() { return stack_.back(); }
    // The frame whose commands the current position belongs to.
    Frame &command_frame() {
        for (auto f = stack_.rbegin(); f != stack_.rend(); ++f)
            if (f->kind == Ctx::word && f->closer != '}') return *f;
        return stack_.front();
    }
    Frame *heredoc_frame() {
        for (auto f = stack_.rbegin(); f != stack_.rend(); ++f)
            if (f->kind == Ctx::heredoc) return &*f;
        return nullptr;
    }
    // Adds c to the current word; quoted characters end a name.
    void add_char(char c, bool quoted) {
        Frame &f = command_frame();
        Word &w = f.cur;
        f.in_word = true;
        w.text += c;
        if (c == '\1') w.literal = false;
        if (quoted || c == '\1') {
            if (w.name != 2) w.name = 3;
            return;
        }
        if (w.name == 0 && c == '=' && !w.text.empty() && w.text.size() > 1) {
            w.name = 2;
            w.assigned = w.text.substr(0, w.text.size() - 1);
        } else if (w.name == 0 && c == '[' && w.text.size() > 1) {
            w.name = 1;
        } else if (w.name == 1 && c == ']' && la(1) == '=') {
            w.assigned = w.text.substr(0, w.text.find('['));
        } else if (w.name == 1 && c == '=' && !w.assigned.empty()) {
            w.name = 2;
        } else if (w.name == 0 && !(w.text.size() == 1 ? name_start(c) : name_char(c))) {
            w.name = 3;
        }
    }
    void end_word(Frame &f) {
        if (!f.in_word) return;
        if (f.cur.text == "]]") f.dbrack = false;
        if (f.cur.text == "alias") sh_.aliases = true;
        if (in(f.cur.text, {"integer", "nameref", "let", "[[", "-eq", "-ne", "-lt", "-le", "-gt", "-ge", "-v"}))
            sh_.typed = true;
        std::vector<Word> &ws = f.pipe.cmds.back();
        if (!ws.empty() && in(ws.front().text, DECLARE) && f.cur.text.starts_with('-') &&
            f.cur.text.find_first_of("in") != std::string::npos)
            sh_.typed = true;
        ws.push_back(std::move(f.cur));
        f.cur = Word{};
        f.in_word = false;
    }
    // The pipeline of f ends: judge it, and tell its here-documents what they may hold.
    void end_pipeline(Frame &f) {
        end_word(f);
        if (f.pipe.ph != 0)
            if (const char *why = pipeline_refusal(f.pipe, false)) refuse(f.pipe.ph, why);
        const char *body_why = pipeline_refusal(f.pipe, true);
        for (Heredoc &d : f.pending)
            if (d.why == nullptr) d.why = body_why;
        f.pipe = Pipeline{};
    }
    void close_command_frame() {
        Frame &f = top();
        end_pipeline(f);
        if (!f.pending.empty()) lost_ = "stands after a here-document whose body the shells place differently";
        stack_.pop_back();
    }

    // A placeholder, or a backquoted command holding one, at i_: every
    // command around it holds one, and so does a here-document it stands in.
    void mark(char ph) {
        if (sh_.first_ph == 0) sh_.first_ph = ph;
        for (auto f = stack_.rbegin(); f != stack_.rend(); ++f) {
            if (f->kind == Ctx::heredoc) {  // its command was judged when its line ended
                if (f->doc.why != nullptr) return refuse(ph, f->doc.why);
                if (!f->doc.plain) return refuse(ph, "stands in a here-document whose delimiter the shells read differently");
                f->has_ph = true;
                return;
            }
            if (f->kind != Ctx::word || f->closer == '}') continue;
            if (f->dbrack) return refuse(ph, "would be evaluated as a number or a name ([[ ... ]])");
            Word &w = f->cur;
            if (w.name == 1) return refuse(ph, "would be evaluated as arithmetic (an array subscript)");
            w.ph = true;
            w.ph_before_eq = w.ph_before_eq || w.text.find('=') == std::string::npos;
            w.ph_in_value = w.ph_in_value || w.name == 2;
            sh_.ph_assign = sh_.ph_assign || w.name == 2;
            if (f->pipe.ph == 0) f->pipe.ph = ph;
        }
    }

    // Replaces the placeholder at i_ + skip (with the skip characters before
    // it, a '$' or '\\' prefix) by its reference.
    void place(size_t skip) {
        const size_t start = i_;
        const char ph = at(start + skip + 1);
        i_ = start + skip + 2;
        if (sh_.first_ph == 0) sh_.first_ph = ph;
        if (lost_ != nullptr) return refuse(ph, lost_);
        const Frame &f = top();
        Spell spell = Spell::word;
        switch (f.kind) {
        case Ctx::word: spell = Spell::word; break;
        case Ctx::single: spell = Spell::single; break;
        case Ctx::dbl: spell = Spell::dbl; break;
        case Ctx::comment: spell = Spell::comment; break;
        case Ctx::heredoc: spell = f.doc.quoted ? Spell::doc_quoted : Spell::doc; break;
        case Ctx::brace: return refuse(ph, "cannot stand in the name or operator of ${...}");
        case Ctx::arith: return refuse(ph, "would be evaluated as arithmetic ($((...)), ((...)))");
        case Ctx::ansi: return refuse(ph, "cannot stand inside $'...'");
        }
        if (f.refuse) return refuse(ph, "cannot stand in the pattern or offset of ${...}");
        if (f.kind != Ctx::comment) {
            const bool in_word = f.kind != Ctx::heredoc;
            mark(ph);
            if (in_word) add_char('\1', true);
        }
        edits_.push_back({start, skip + 2, ph, spell, skip > 0 ? at(start) : '\0', {}, levels_});
    }

    // '$' at i_ where it is special.
    void dollar(bool quoted) {
        if (placeholder(i_ + 1)) return place(1);
        const char n = la(1);
        if ((n == '(' && la(2) == '(') || n == '[') {
            sh_.typed = true;
            adv(n == '[' ? 2 : 3);
            stack_.push_back(Frame{Ctx::arith, n == '[' ? ']' : ')'});
        } else if (n == '(') {
            adv(2);
            stack_.push_back(Frame{Ctx::word, ')'});
        } else if (n == '{') {
            adv(2);
            Frame b{Ctx::brace};
            b.quoted = quoted;
            stack_.push_back(b);
        } else if (n == '\'' && !quoted) {
            adv(2);
            stack_.push_back(Frame{Ctx::ansi});
        } else {
            adv(1);
            if (one_of(la(0), "$#?!@*-0123456789")) adv(1);
            else
                while (name_char(la(0))) adv(1);
        }
    }

    // A backquoted command at i_: read it as a command of its own.
    void backquote(bool dquoted) {
        size_t j = i_ + 1;
        while (j < t_.size() && t_[j] != '`') j += t_[j] == '\\' ? 2 : 1;
        j = std::min(j, t_.size());
        std::string inner;
        std::vector<size_t> from, to;  // where each inner character comes from
        for (size_t k = i_ + 1; k < j;) {
            const char n = at(k + 1);
            const bool strip = t_[k] == '\\' && k + 1 < j && (one_of(n, "$`\\") || (dquoted && n == '"'));
            inner += strip ? n : t_[k];
            from.push_back(k);
            k += strip ? 2 : 1;
            to.push_back(k);
        }
        i_ = j + 1;
        std::vector<Edit> sub;
        std::string why;
        if (!Scanner(inner, sh_, levels_ + 1).run(sub, why)) {
            why_ = why;
            return;
        }
        for (Edit &e : sub) {
            if (e.ph == 0) continue;
            if (lost_ != nullptr) return refuse(e.ph, lost_);
            mark(e.ph);
            break;
        }
        for (Edit &e : sub) {
            const size_t a = e.at < from.size() ? from[e.at] : j;
            const size_t b = e.len > 0 ? to[e.at + e.len - 1] : a;
            e.at = a;
            e.len = b - a;
            edits_.push_back(std::move(e));
        }
    }

    // "<<" at i_: note the here-document whose body follows the next line.
    void here_document(Frame &f) {
        adv(2);
        Heredoc d;
        if (la(0) == '-') {
            d.strip_tabs = true;
            adv(1);
        }
        while (blank(la(0))) adv(1);
        i_ = skip_cont(i_);
        d.word_at = i_;
        while (i_ < t_.size() && !word_end(la(0))) {
            i_ = skip_cont(i_);
            const char c = t_[i_];
            if (placeholder(i_)) return refuse(at(i_ + 1), "cannot stand in a here-document delimiter");
            if (c == '\'' || c == '"') {
                d.quoted = true;
                size_t e = i_ + 1;
                while (e < t_.size() && t_[e] != c) d.delim += t_[e++];
                i_ = e + 1;
            } else if (c == '\\') {
                d.quoted = true;
                d.delim += at(i_ + 1);
                i_ += 2;
            } else {
                d.plain = d.plain && c != '$' && c != '`';
                d.delim += c;
                i_++;
            }
        }
        d.word_len = i_ - d.word_at;
        d.plain = d.plain && !d.delim.empty() &&
                  std::all_of(d.delim.begin(), d.delim.end(), [](char c) { return name_char(c); });
        f.pending.push_back(d);
    }

    // The body of the here-document on top ends at end (its delimiter line).
    void end_heredoc(size_t end) {
        Frame h = std::move(top());
        stack_.pop_back();
        if (!h.has_ph || !h.doc.quoted) return;
        // A quoted body expands nothing: rewrite it as an unquoted one that
        // reads the same text, so that a reference works in it.
        edits_.push_back({h.doc.word_at, h.doc.word_len, 0, Spell::word, 0, h.doc.delim, levels_});
        for (size_t k = h.body; k < end; k++)
            if (one_of(t_[k], "\\$`")) edits_.push_back({k, 1, 0, Spell::word, 0, std::string("\\") + t_[k], levels_});
    }

    void step() {
        Frame &f = top();
        if (f.kind == Ctx::heredoc) return step_heredoc(f);
        if (f.kind != Ctx::single && f.kind != Ctx::ansi && f.kind != Ctx::comment) {
            const size_t k = skip_cont(i_);
            if (k != i_) {
                i_ = k;
                return;
            }
        }
        const char c = t_[i_];
        if (placeholder(i_)) return place(0);
        if (c == '%' && at(i_ + 1) == '%' && f.kind != Ctx::brace) {  // two ordinary characters
            if (f.kind == Ctx::word) add_char('%', false), add_char('%', false);
            i_ += 2;
            return;
        }
        switch (f.kind) {
        case Ctx::word: return step_word(f, c);
        case Ctx::dbl: return step_dquoted(f, c);
        case Ctx::heredoc: return;
        case Ctx::single:
            if (c == '\'') stack_.pop_back();
            else add_char(c, true);
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
            if (c == f.closer && f.depth == 0 && (open == '[' || la(1) == ')')) {
                adv(open == '[' ? 1 : 2);
                stack_.pop_back();
                return;
            }
            if (c == f.closer && f.depth > 0) f.depth--;
            if (c == '$') return dollar(false);
            if (c == '`') return backquote(false);
            if (c == '\'') stack_.push_back(Frame{Ctx::single});
            if (c == '"') stack_.push_back(Frame{Ctx::dbl, '"'});
            i_ += c == '\\' ? 2 : 1;
            return;
        }
        }
    }

    void step_heredoc(Frame &f) {
        if (f.line_start) {
            const size_t e = std::min(t_.find('\n', i_), t_.size());
            std::string_view line = t_.substr(i_, e - i_);
            while (f.doc.strip_tabs && !line.empty() && line[0] == '\t') line.remove_prefix(1);
            f.line_start = false;
            if (line == f.doc.delim) {
                end_heredoc(i_);
                i_ = std::min(e + 1, t_.size());
                return;
            }
        }
        const char c = t_[i_];
        if (c == '\n') {
            f.line_start = true;
            i_++;
            return;
        }
        if (placeholder(i_)) return place(0);
        if (f.doc.quoted) {
            i_++;
            return;
        }
        if (c == '\\' && at(i_ + 1) == '\n') {
            i_ += 2;
            return;
        }
        if (c == '\\') {
            if (placeholder(i_ + 1)) return place(1);
            i_ += 2;
            return;
        }
        if (c == '`') return backquote(false);
        if (c == '$') return dollar(true);
        i_++;
    }

    // ${ up to its operator; what follows is a word of its own kind.
    void step_brace() {
        const bool quoted = top().quoted;
        if (la(0) == '#' && la(1) != '}') adv(1);  // ${#name}: the length
        if (one_of(la(0), "$#?!@*-0123456789")) adv(1);
        else
            while (name_char(la(0))) adv(1);
        if (placeholder(i_)) return refuse(at(i_ + 1), "cannot stand in the name or operator of ${...}");
        const char c = la(0);
        if (c == '}') {
            adv(1);
            stack_.pop_back();
            return;
        }
        if (c == '\0') return;
        bool word = true;
        if (c == ':' && one_of(la(1), "-=?+")) adv(2);
        else if (one_of(c, "-=?+")) adv(1);
        else {
            word = false;  // a pattern (# ## % %% / ...), an offset or a subscript: no placeholder
            adv(c == '%' && la(1) == '%' ? 2 : 1);
        }
        Frame w{quoted ? Ctx::dbl : Ctx::word, '}'};
        w.refuse = !word;
        stack_.push_back(w);
    }

    void step_word(Frame &f, char c) {
        if (f.closer == '}') {  // the word of ${...}
            if (c == '}') {
                stack_.pop_back();
                stack_.pop_back();
                i_++;
                return;
            }
            if (c == '{') lost_ = "stands where the shells read the command differently ({ inside ${...})";
        }
        if (c == '\\') {
            if (placeholder(i_ + 1)) return place(1);
            add_char(at(i_ + 1), true);
            i_ = std::min(i_ + 2, t_.size());
            return;
        }
        if (c == '\'' || c == '"') {
            add_char('\0', true);  // an empty quoted part still makes a word
            command_frame().cur.text.pop_back();
            stack_.push_back(Frame{c == '"' ? Ctx::dbl : Ctx::single, c});
            i_++;
            return;
        }
        if (c == '`') {
            add_char('\1', true);
            return backquote(false);
        }
        if (c == '$') {
            add_char('\1', true);
            return dollar(false);
        }
        if (f.closer == '}') {
            add_char(c, false);
            i_++;
            return;
        }
        if (c == '#' && !f.in_word) {
            if (f.closer == ')') lost_ = "stands after a comment inside $(...), which the shells end differently";
            stack_.push_back(Frame{Ctx::comment});
            i_++;
            return;
        }
        if (!f.in_word && c == '(' && la(1) == '(') {  // the ((...)) command
            sh_.typed = true;
            adv(2);
            stack_.push_back(Frame{Ctx::arith, ')'});
            return;
        }
        if (!f.in_word && c == '[' && la(1) == '[' && word_end(la(2))) {
            add_char('[', false);
            add_char('[', false);
            adv(2);
            end_word(f);
            f.dbrack = true;
            return;
        }
        if (!word_end(c)) {
            if (!f.in_word && f.closer == ')' && t_.substr(i_, 4) == "case" && word_end(at(i_ + 4)))
                lost_ = "stands where the command's reading is unclear (case inside $(...))";
            add_char(c, false);
            i_++;
            return;
        }
        end_word(f);
        if (c == '<' && la(1) == '<') {
            if (la(2) == '<') return adv(3);  // <<< word: a here-string, an ordinary word follows
            return here_document(f);
        }
        if (c == '(') f.depth++;
        if (c == ')' && f.depth == 0 && f.closer == ')') {
            i_++;
            close_command_frame();
            return;
        }
        if (c == ')' && f.depth > 0) f.depth--;
        const bool pipe = c == '|' && la(1) != '|';
        if (pipe) {
            f.pipe.cmds.emplace_back();
            adv(la(1) == '&' ? 2 : 1);  // |& too
            return;
        }
        if (!blank(c) && !one_of(c, "<>") && !(c == '&' && one_of(la(1), "<>"))) end_pipeline(f);
        adv(c == la(1) && one_of(c, "&|;") ? 2 : 1);
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
    }

    // Inside double quotes, or the word of ${...} inside them.
    void step_dquoted(Frame &f, char c) {
        if (c == '\\') {
            if (placeholder(i_ + 1)) return place(1);
            add_char(at(i_ + 1), true);
            i_ = std::min(i_ + 2, t_.size());
            return;
        }
        if (c == '`') {
            add_char('\1', true);
            return backquote(true);
        }
        if (c == '$') {
            add_char('\1', true);
            return dollar(true);
        }
        i_++;
        if (c == '"' && f.closer == '"') {
            stack_.pop_back();
        } else if (c == '}' && f.closer == '}') {
            stack_.pop_back();  // the word
            stack_.pop_back();  // its ${
        } else if (c == '"') {
            stack_.push_back(Frame{Ctx::dbl, '"'});
        } else {
            add_char(c, true);
        }
    }
};

const char *const VAR_NAME[] = {NAME_VAR, DIR_VAR};

std::string single_quoted(std::string_view v) {
    std::string s(1, '\'');
    for (char c : v) s += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return s + '\'';
}
std::string escaped(std::string_view v, const char *special) {
    std::string s;
    for (char c : v) {
        if (one_of(c, special)) s += '\\';
        s += c;
    }
    return s;
}

// The reference a placeholder becomes in the command that runs.
std::string reference(const Edit &e) {
    const std::string var = std::string("${") + VAR_NAME[e.ph == 'p'] + "}";
    switch (e.spell) {
    case Spell::single: return "'\"" + var + "\"'";
    case Spell::dbl:
    case Spell::doc:
    case Spell::doc_quoted:
        return (e.prefix == '$' ? "\\$" : e.prefix == '\\' ? "\\\\" : "") + var;
    case Spell::word:
    case Spell::comment: break;
    }
    return (e.prefix == '$' ? "\\$\"" : "\"") + var + "\"";
}

// The value as the shown form writes it.
std::string shown(const Edit &e, std::string_view v) {
    std::string s(e.prefix != 0 ? 1 : 0, e.prefix);
    bool literal = !v.empty();
    for (char c : v) literal = literal && (name_char(c) || one_of(c, "/.-+,:@%"));
    switch (e.spell) {
    case Spell::word: return s + (literal ? std::string(v) : single_quoted(v));
    case Spell::single: return s + single_quoted(v).substr(1, single_quoted(v).size() - 2);
    case Spell::dbl: return s + escaped(v, "$`\"\\");
    case Spell::doc: return s + escaped(v, "$`\\");
    case Spell::doc_quoted:
    case Spell::comment: break;
    }
    return s + std::string(v);
}

bool scan(const char *pgm, std::vector<Edit> &edits, std::string &why) {
    Shared shared;
    if (!Scanner(pgm, shared, 0).run(edits, why)) return false;
    if (shared.aliases && shared.first_ph != 0) {
        why = std::string("%") + shared.first_ph + " stands in a command that defines aliases, which change its reading";
        return false;
    }
    if (shared.typed && shared.ph_assign) {
        why = std::string("%") + shared.first_ph +
              " is assigned to a variable that the command may use as a number or a name";
        return false;
    }
    std::stable_sort(edits.begin(), edits.end(), [](const Edit &x, const Edit &y) { return x.at < y.at; });
    return true;
}

// The command on one line, for a message.
std::string one_line(const char *pgm) {
    std::string s;
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(pgm); *p != '\0'; p++) {
        char esc[8];
        if (*p == '\n') s += "\\n";
        else if (*p == '\t') s += "\\t";
        else if (*p < 0x20 || *p == 0x7f) {
            std::snprintf(esc, sizeof esc, "\\%03o", *p);
            s += esc;
        } else s += static_cast<char>(*p);
    }
    return s;
}

// A block of at least EXPAND_BUF zero bytes holding s, or nullptr.
char *block_of(const std::string &s) {
    char *b = static_cast<char *>(std::calloc(std::max<size_t>(EXPAND_BUF, s.size() + 1), 1));
    if (b != nullptr) std::memcpy(b, s.data(), s.size());
    return b;
}

}  // namespace

bool check_program_parms(const char *pgm, const char *what) {
    std::vector<Edit> edits;
    std::string why;
    if (scan(pgm, edits, why)) return true;
    report("%s \"%s\": %s", what, one_line(pgm).c_str(), why.c_str());
    return false;
}

// Replaces "%o" and "%p" in pgm by references to NAME_VAR and DIR_VAR and
// puts ofname and the working directory into the environment under those
// names. '%' followed by any other character, and a final '%', stay as they
// are. Returns a zero-filled block of at least EXPAND_BUF bytes that the
// caller frees; with shown, *shown receives another block: the command with
// the values inserted (see the head of this unit). NULL after a one-line
// message when a placeholder stands where no reference is safe, the shown
// form would exceed EXPAND_BUF - 1 characters, the working directory cannot
// be had, or memory runs out.
char *replace_program_parms(const char *pgm, char **shown_out) {
    auto fail = [pgm](const std::string &why) -> char * {
        report("cannot expand command \"%s\": %s", one_line(pgm).c_str(), why.c_str());
        return nullptr;
    };
    std::vector<Edit> edits;
    std::string why;
    if (!scan(pgm, edits, why)) return fail(why);

    std::string values[2] = {ofname, ""};
    char cwd[EXPAND_BUF];
    const bool have_cwd = getcwd(cwd, sizeof cwd) != nullptr;
    const int cwd_errno = errno;
    if (have_cwd) values[1] = cwd;
    for (const Edit &e : edits)
        if (e.ph == 'p' && !have_cwd)
            return fail(std::string("cannot get the working directory: ") + std::strerror(cwd_errno));

    const std::string_view text = pgm;
    std::string run, show;
    size_t pos = 0;
    for (const Edit &e : edits) {
        run.append(text.substr(pos, e.at - pos));
        show.append(text.substr(pos, e.at - pos));
        std::string r = e.ph != 0 ? reference(e) : e.text;
        std::string s = e.ph != 0 ? shown(e, values[e.ph == 'p']) : std::string(text.substr(e.at, e.len));
        for (int l = 0; l < e.levels; l++) {
            r = escaped(r, "\\`$");
            if (e.ph != 0) s = escaped(s, "\\`$");
        }
        run += r;
        show += s;
        pos = e.at + e.len;
    }
    run.append(text.substr(pos));
    show.append(text.substr(pos));
    if (show.size() > EXPAND_BUF - 1) return fail("result longer than 2047 characters");

    // After the feature words: no word of the list can replace them.
    if (setenv(NAME_VAR, values[0].c_str(), 1) != 0 ||
        (have_cwd ? setenv(DIR_VAR, cwd, 1) : unsetenv(DIR_VAR)) != 0) {
        report("cannot set %s and %s: %s", NAME_VAR, DIR_VAR, std::strerror(errno));
        return nullptr;
    }
    HeapBlock r(block_of(run));
    HeapBlock s(shown_out != nullptr ? block_of(show) : nullptr);
    if (!r || (shown_out != nullptr && !s)) {
        report("out of memory");
        return nullptr;
    }
    if (shown_out != nullptr) *shown_out = s.release();
    return r.release();
}
