#pragma once

// Numbered parts of a job made on every core and handed on one by one in their order, as a long
// output is written: the parts are made as far ahead of the handing on as a few parts of memory
// allow, and the handing on stays on the calling thread.
//
//   std::vector<std::string> texts(chunks.size());
//   qelt::RunInOrder(chunks.size(), 2, 4,
//       [&](std::size_t k) { texts[k] = format(chunks[k]); return false; },
//       [&](std::size_t k) { write(texts[k]); return true; });

#include <atomic>
#include <cstddef>
#include <functional>

namespace qelt {

// Calls make(k) for each part k below count, on `threads` threads (the calling thread one of
// them), taking the parts in order and never one that is `ahead` or more parts past the next to
// hand on; calls hand(k) on the calling thread for k = 0, 1, ... as soon as part k is made.
// make(k) returns true when part k is the last: no later part is made or handed on. hand(k)
// returns false to stop the run there. When make(k) throws, the parts before k are handed on and
// the error is rethrown in place of k; an error from hand is rethrown. Either way, and when
// cancel is set (looked at before each part is handed on), the run stops without making more
// parts, and the function returns once every thread has ended.
void RunInOrder(std::size_t count, unsigned threads, std::size_t ahead,
                const std::function<bool(std::size_t)>& make,
                const std::function<bool(std::size_t)>& hand,
                const std::atomic<bool>* cancel = nullptr);

} // namespace qelt
