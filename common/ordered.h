// Items worked on side by side and taken in order: how both programs run
// their images on several threads while every message and decision comes
// in list order, whatever -j is.
#ifndef ORDERED_H
#define ORDERED_H

#include <functional>

// work(i) for i = 0..n-1 runs on `threads` worker threads (each first runs
// `thread_start`, when given); take(i) runs on the calling thread, in
// order, each as soon as work(i) and every earlier take are done. At most
// `ahead` items are begun beyond the last one taken (0: no bound), so that
// their results need not all be held at once. work must not throw. take
// returns false to stop: no further item is begun. The call returns once
// every worker has been joined, on every path (a failure thrown by take
// included). Returns false, having done nothing, when no thread could be
// started (start_threads): the caller then works alone.
bool run_in_order(int n, int threads, int ahead, const std::function<void(int)> &work,
                  const std::function<bool(int)> &take,
                  const std::function<void()> &thread_start = nullptr);

#endif
