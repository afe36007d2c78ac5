// parallel.cc - a member's DEFLATE data made on several threads, byte for
// byte the data that deflate() makes on one.
//
// At the lazy levels every string is inserted into the hash chains, so the
// chains at a position depend on the WSIZE bytes before it alone, and the
// symbols from a loop top on depend on those bytes and on the lazy state
// there (the length found at the previous position, its distance, whether a
// symbol is pending). The input, a regular file read with pread, is cut into
// pieces of zip_chunk bytes at multiples of WSIZE. A worker parses a piece
// from a fresh lazy state with the chains primed from the WSIZE bytes before
// it (span_begin), recording its lazy state at every loop top of the piece's
// first RECORD_SPAN bytes. Going on past its piece's end, a worker compares
// its own state at each loop top there with the recorded one: where they agree
// the two parses are the same from there on, and the next piece's symbols
// take over. The parse of piece 0 is the one-thread parse, and so, piece by
// piece, is the spliced one. A parse that meets no agreeing state runs on
// through the next piece (whose work is dropped) and tries the one after;
// in the worst case it runs to the end, still right, only slower.
//
// Window indices are those of the one-thread parse: a piece starts WSIZE
// after the window's origin, as the one-thread parse stands there, and slides
// at the same loop tops once the parses agree. Nothing depends on a position
// at window index 0 (out of reach after a slide), and a match may look past
// the end of the input into stale window bytes, so the parses may agree only
// TAIL_GUARD bytes before the end; the window bytes past the end are then the
// one-thread parse's too (span_begin).
//
// The calling thread replays the spliced symbols into the block emitter as
// they come (replay_symbols): where blocks end and their form depend only on
// the symbols and on when its window slides, which it follows exactly. It also
// reads the input the usual way (file_read: CRC, byte count, progress), so a
// member written here differs from one of deflate() in nothing.
//
// Memory: every thread has its own window and chain tables (about 0.8 MiB,
// thread_local), and at most zip_threads + 2 pieces are held at once (the
// symbols of a piece take at most 2 bytes per input byte).
#include "parallel.h"

#include <condition_variable>
#include <limits>
#include <malloc.h>
#include <mutex>
#include <system_error>
#include <thread>
#include <sys/stat.h>
#include <unistd.h>

unsigned zip_threads = 1;
unsigned zip_chunk = 512 * 1024;

namespace {

constexpr counter_t RECORD_SPAN = WSIZE / 2;  // loop tops recorded at the start of a piece
constexpr counter_t TAIL_GUARD = 1024;    // no agreeing this close to the end of the input
constexpr counter_t RESERVE_AFTER = 65536;  // token units reserved for the parse past a piece's end
constexpr counter_t LOOK_IN = 65536;  // a parse looks whether it was passed this often
// The state at the loop top after a match, as a fresh parse starts.
constexpr lazy_state_t FRESH = 1u << 30 | (MIN_MATCH - 1) << 16;
constexpr counter_t NEVER = std::numeric_limits<counter_t>::max();

struct Piece {
    counter_t start = 0, end = 0, record_end = 0;
    bool taken = false;      // a worker parses it
    bool claimed = false;    // a parse from before goes through it instead: no worker takes it
    bool wanted = false;     // a parse from before waits for a worker to take it
    bool joined = false;     // a parse from before agreed with this one: it must run to its end
    bool passed = false;     // a parse from before went through it without agreeing: stop
    bool published = false;  // records are final
    bool done = false;       // tokens, next and next_from are final
    std::vector<token_t> tokens;
    std::vector<uint64_t> records;  // per offset from start: state | tokens so far << 32; 0: no loop top
    size_t next = 0;       // the piece whose symbols follow these
    size_t next_from = 0;  // from this token of it on
};

struct Run {
    int fd = -1;
    counter_t size = 0;
    std::vector<Piece> pieces;
    std::mutex m;
    std::condition_variable cv;
    size_t next_free = 0;  // the next piece a worker may take
    size_t consumed = 0;   // the piece being replayed; pieces before it are gone
    size_t ahead = 0;      // pieces handed out at most this far past consumed (unless wanted)
    unsigned idle = 0;     // workers waiting for a piece to take
    // Where a parse went through a piece without agreeing, the last loop top
    // it had in FRESH state: in a run or periodic data every match is
    // MAX_MATCH long and such loop tops come every MAX_MATCH bytes, so a
    // piece that starts its parse in step with them agrees at once.
    counter_t fresh_hint = -1;
    // Buffers of pieces replayed, kept for the next pieces: their pages are
    // in place already, and the memory stays what the pieces in work need.
    std::vector<std::vector<token_t>> spare_tokens;
    std::vector<std::vector<uint64_t>> spare_records;
};

// A worker's parse of one piece and what follows it.
struct Worker : span_hooks {
    Run *run = nullptr;
    size_t own = 0;
    enum { recording, own_part, following } phase = recording;
    size_t target = 0;      // following: the piece the parse is in
    bool entered = false;   // following: target is settled
    bool compare = false;   // following: target is taken and its records are published
    counter_t last_fresh = -1;  // following: the last loop top in FRESH state seen
};

void publish(Run &run, Piece &p) {
    std::lock_guard<std::mutex> lock(run.m);
    p.published = true;
    run.cv.notify_all();
}

bool on_event(span_hooks &hooks, counter_t pos, lazy_state_t state) {
    Worker &w = static_cast<Worker &>(hooks);
    Run &run = *w.run;
    Piece &p = run.pieces[w.own];
    if (w.phase == Worker::recording) {
        if (pos < p.record_end) {
            p.records[static_cast<size_t>(pos - p.start)] = state | static_cast<uint64_t>(w.tokens.size()) << 32;
            w.next_event = pos + 1;
            return true;
        }
        publish(run, p);
        w.phase = Worker::own_part;
    }
    if (w.phase == Worker::own_part) {
        if (pos < p.end) {
            std::lock_guard<std::mutex> lock(run.m);
            if (p.passed) return false;
            w.next_event = std::min(p.end, pos + LOOK_IN);
            return true;
        }
        w.phase = Worker::following;
        w.target = w.own + 1;
        w.entered = false;
    }
    while (w.target + 1 < run.pieces.size() && pos >= run.pieces[w.target + 1].start) {
        w.target++;
        w.entered = false;
    }
    Piece &t = run.pieces[w.target];
    if (!w.entered) {
        // A piece no worker has taken yet: wait for one while a worker is
        // free to take it, else parse through it here (no worker may be
        // left to take it: every one may be in a parse like this one).
        std::unique_lock<std::mutex> lock(run.m);
        if (p.passed) return false;
        if (!t.taken && !t.claimed) {
            t.wanted = true;
            run.cv.notify_all();
            run.cv.wait(lock, [&] { return t.taken || t.claimed || run.idle == 0; });
            if (!t.taken) t.claimed = true;
        }
        w.compare = t.taken;
        if (w.compare) run.cv.wait(lock, [&] { return t.published; });
        w.entered = true;
    }
    if (w.compare && pos < t.record_end) {
        if (state == FRESH) w.last_fresh = pos;
        const uint64_t r = t.records[static_cast<size_t>(pos - t.start)];
        if (r != 0 && static_cast<lazy_state_t>(r) == state) {
            std::lock_guard<std::mutex> lock(run.m);
            if (!t.passed) {
                t.joined = true;
                p.next = w.target;
                p.next_from = static_cast<size_t>(r >> 32);
                return false;
            }
        }
        w.next_event = pos + 1;
        return true;
    }
    if (w.compare) {
        // Through its records without agreeing (a long run or periodic data,
        // where the parses' loop tops keep apart): this parse goes on through
        // the piece, whose own parse may stop, unless another parse joined it.
        std::lock_guard<std::mutex> lock(run.m);
        if (!t.joined) t.passed = true;
        if (w.last_fresh >= 0) run.fresh_hint = w.last_fresh;
        w.compare = false;
    }
    w.next_event = w.target + 1 < run.pieces.size() ? run.pieces[w.target + 1].start : NEVER;
    return true;
}

void parse_piece(Run &run, size_t k) {
    Piece &p = run.pieces[k];
    Worker w;
    w.run = &run;
    w.own = k;
    w.event = on_event;
    w.next_event = p.start;
    unsigned skip = 0;
    {
        std::lock_guard<std::mutex> lock(run.m);
        const counter_t hint = run.fresh_hint;
        if (hint >= 0 && hint < p.start && p.start - hint <= 4 * (p.end - p.start))
            skip = static_cast<unsigned>((MAX_MATCH - (p.start - hint) % MAX_MATCH) % MAX_MATCH);
        if (!run.spare_tokens.empty()) {
            w.tokens = std::move(run.spare_tokens.back());
            run.spare_tokens.pop_back();
        }
        if (!run.spare_records.empty()) {
            p.records = std::move(run.spare_records.back());
            run.spare_records.pop_back();
        }
    }
    w.tokens.clear();
    // A unit per input byte at most, and some for the parse beyond the end:
    // growing would copy and double it. Pages never written are never mapped.
    w.tokens.reserve(static_cast<size_t>(p.end - p.start + RESERVE_AFTER));
    p.records.assign(static_cast<size_t>(p.record_end - p.start), 0);
    span_begin(run.fd, p.start, skip);
    if (span_parse(w)) p.next = run.pieces.size();
    std::lock_guard<std::mutex> lock(run.m);
    p.tokens = std::move(w.tokens);
    p.published = true;
    p.done = true;
    run.cv.notify_all();
}

void worker_main(Run &run) {
    for (;;) {
        size_t k;
        {
            std::unique_lock<std::mutex> lock(run.m);
            for (;;) {
                while (run.next_free < run.pieces.size() && run.pieces[run.next_free].claimed) run.next_free++;
                if (run.next_free >= run.pieces.size()) return;
                if (run.next_free < run.consumed + run.ahead || run.pieces[run.next_free].wanted) break;
                run.idle++;
                run.cv.wait(lock);
                run.idle--;
            }
            k = run.next_free++;
            run.pieces[k].taken = true;
            run.cv.notify_all();
        }
        parse_piece(run, k);
    }
}

// The pieces of an input of `size` bytes: starts at multiples of the chunk
// size (itself a multiple of WSIZE) with at least WSIZE bytes after them.
size_t piece_count(counter_t size, counter_t chunk) { return size < WSIZE ? 1 : static_cast<size_t>(1 + (size - WSIZE) / chunk); }

counter_t chunk_size() {
    counter_t c = zip_chunk / WSIZE * WSIZE;
    return c < WSIZE ? WSIZE : c;
}

}  // namespace

counter_t parallel_size(int fd) {
    struct stat st;
    if (zip_threads < 2 || level < 4 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return -1;
    if (lseek(fd, 0, SEEK_CUR) != 0) return -1;
    const counter_t size = static_cast<counter_t>(st.st_size);
    return piece_count(size, chunk_size()) < 2 ? -1 : size;
}

ulg deflate_parallel(int fd, counter_t size) {
    // Symbol buffers come from the system and go back to it: the C library's
    // moving threshold would otherwise keep them in the threads' heaps, where
    // freed ones stay resident.
    mallopt(M_MMAP_THRESHOLD, 128 * 1024);
    Run run;
    run.fd = fd;
    run.size = size;
    const counter_t chunk = chunk_size();
    run.pieces.resize(piece_count(size, chunk));
    for (size_t k = 0; k < run.pieces.size(); k++) {
        Piece &p = run.pieces[k];
        p.start = static_cast<counter_t>(k) * chunk;
        p.end = k + 1 < run.pieces.size() ? p.start + chunk : size;
        p.record_end = std::min(p.start + RECORD_SPAN, size - TAIL_GUARD);
    }
    run.ahead = zip_threads + 2;
    // A thread that cannot be started is done without; with none, this
    // thread's state is still that of deflate() after lm_init.
    std::vector<std::thread> workers;
    for (unsigned i = 0; i < zip_threads; i++) {
        try {
            workers.emplace_back(worker_main, std::ref(run));
        } catch (const std::system_error &) {
            break;
        }
    }
    if (workers.empty()) return deflate();

    size_t cur = 0, from = 0;
    while (cur < run.pieces.size()) {
        Piece &p = run.pieces[cur];
        {
            std::unique_lock<std::mutex> lock(run.m);
            run.cv.wait(lock, [&] { return p.done; });
        }
        replay_symbols(p.tokens.data() + from, p.tokens.size() - from, size);
        const size_t next = p.next;
        from = p.next_from;
        std::unique_lock<std::mutex> lock(run.m);
        for (size_t k = cur; k < next; k++) {
            Piece &q = run.pieces[k];
            run.cv.wait(lock, [&] { return q.done || q.claimed; });
            // A buffer that a long parse through several pieces has grown
            // goes back to the system.
            if (q.tokens.capacity() != 0 && q.tokens.capacity() <= static_cast<size_t>(chunk + RESERVE_AFTER) &&
                run.spare_tokens.size() < run.ahead)
                run.spare_tokens.push_back(std::move(q.tokens));
            if (q.records.capacity() != 0 && run.spare_records.size() < run.ahead) run.spare_records.push_back(std::move(q.records));
            std::vector<token_t>().swap(q.tokens);
            std::vector<uint64_t>().swap(q.records);
        }
        run.consumed = cur = next;
        run.cv.notify_all();
    }
    for (std::thread &t : workers) t.join();
    return replay_end(size);
}
