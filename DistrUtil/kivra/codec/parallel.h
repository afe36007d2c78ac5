// parallel.h - what the match finder (deflate.cc) and the member body made
// on several threads (parallel.cc) share: the symbols of a parse made on one
// thread and replayed on another, and the hooks of a parse over one piece of
// the input.
#pragma once

#include <cstdint>
#include <vector>

#include "stream.h"

// The symbols of the lazy parse in 16-bit units: a literal is one unit, the
// byte (below 256); a match two, 256 + length - MIN_MATCH and the distance
// (1..MAX_DIST).
using token_t = uint16_t;

// The lazy parse's state at the top of its loop, packed so that equal states
// compare equal: bit 31 a symbol is pending (match_available), bit 30 always
// set (0 means "no loop top here"), bits 16..24 the length found at the
// previous position, bits 0..15 its distance (0 when shorter than MIN_MATCH,
// where the distance plays no part).
using lazy_state_t = uint32_t;

// A parse over one piece of the input, run by a thread of its own. The parse
// appends its symbols to `tokens`; at the first loop top at or after input
// offset `next_event` it calls `event`, which may move next_event on and
// returns false to stop the parse there (before that loop top's work).
struct span_hooks {
    std::vector<token_t> tokens;
    counter_t next_event = 0;
    bool (*event)(span_hooks &hooks, counter_t pos, lazy_state_t state) = nullptr;
};

// Sets this thread's match finder up as the one-thread parse stands at the
// top of its loop at input offset `start` of the regular file `fd` (read with
// pread; `start` is 0, or a multiple of WSIZE with at least WSIZE bytes of
// the file from it on, and the file has at least 2 * WSIZE bytes): the same
// window bytes at the same window indices, every string of the WSIZE bytes
// before `start` in the chains. The lazy state is fresh; the parse begins
// `skip` (below MAX_MATCH) strings later, those strings in the chains too.
void span_begin(int fd, counter_t start, unsigned skip);
// Runs the lazy parse from there. True when it reached the end of the input
// (the last symbol included), false when `event` stopped it.
bool span_parse(span_hooks &hooks);

// On the thread that made the member's header (after lm_init): hands the
// symbols of the whole member, in order and from input offset 0 on, to the
// block emitter exactly as deflate() would, ending blocks where it would; this
// thread's window follows the input as deflate()'s would, so that stored
// blocks and the slides come out the same. Every symbol is checked against
// the input; a mismatch or an input whose length is not `size` is fatal (the
// file changed while it was read).
void replay_symbols(const token_t *t, size_t n, counter_t size);
ulg replay_end(counter_t size);

// The member body made on zip_threads threads (parallel.cc).
ulg deflate_parallel(int fd, counter_t size);
