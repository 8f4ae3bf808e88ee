// Splits a loop over [0, n) between the calling thread and up to
// workers - 1 native threads. The range is cut into fixed blocks that the
// threads take in turn from a shared counter, so uneven costs even out and
// every element is computed exactly once, by whichever thread takes its
// block: the results do not depend on the number of threads.
//
// How the range is cut depends on what one element costs (loop_shape): cheap
// elements (an option, microseconds) go in blocks of 64, with a thread only
// for every 256 of them, since starting one costs about as much as pricing a
// few dozen options; costly ones (a forward search over a chain's strikes,
// milliseconds) go one at a time, a thread for each while workers remain.
//
// The calling thread, between its own blocks, may ask whether to stop (the
// `stop` check of for_each_block: the engine's look at the interpreter's
// signals). Once it says so, every thread ends after the block it is on and
// takes no other: the loop ends with part of the range not computed.
//
// No thread started here touches a Python object; the caller runs the loop
// with its own thread detached from the interpreter.
#ifndef VORNET_ENGINE_PARALLEL_H
#define VORNET_ENGINE_PARALLEL_H

#include <pthread.h>

#include <atomic>
#include <cstddef>

namespace vornet::engine {

struct loop_shape {
    std::ptrdiff_t block_size;
    // No thread is started for fewer elements than this each.
    std::ptrdiff_t min_elements_per_thread;
};

inline constexpr loop_shape cheap_elements{64, 256};
inline constexpr loop_shape costly_elements{1, 1};
// The integral model's elements: tens of microseconds each.
inline constexpr loop_shape integral_elements{4, 8};

constexpr int max_threads = 256;

// A stop check that never stops.
struct run_to_the_end {
    bool operator()() const noexcept { return false; }
};

template <typename Body, typename Stop>
class block_loop {
  public:
    block_loop(std::ptrdiff_t n, loop_shape shape, Body &body, Stop &stop) noexcept
        : n_(n), shape_(shape), body_(body), stop_(stop)
    {
    }

    // False when the stop check ended the loop early.
    bool run(int workers) noexcept
    {
        const std::ptrdiff_t per_thread = shape_.min_elements_per_thread;
        std::ptrdiff_t wanted = (n_ + per_thread - 1) / per_thread;
        if (wanted > workers)
            wanted = workers;
        if (wanted > max_threads)
            wanted = max_threads;
        pthread_t threads[max_threads];
        int started = 0;
        // A thread that cannot be started leaves its share to the others.
        for (std::ptrdiff_t t = 1; t < wanted; ++t)
            if (pthread_create(&threads[started], nullptr, &block_loop::thread_main, this) == 0)
                ++started;
        take_blocks(true);
        for (int t = 0; t < started; ++t)
            pthread_join(threads[t], nullptr);
        return !stopped_.load(std::memory_order_relaxed);
    }

  private:
    static void *thread_main(void *self) noexcept
    {
        static_cast<block_loop *>(self)->take_blocks(false);
        return nullptr;
    }

    void take_blocks(bool caller) noexcept
    {
        const std::ptrdiff_t size = shape_.block_size;
        while (!stopped_.load(std::memory_order_relaxed)) {
            const std::ptrdiff_t begin = next_.fetch_add(size, std::memory_order_relaxed);
            if (begin >= n_)
                return;
            const std::ptrdiff_t end = begin + size < n_ ? begin + size : n_;
            body_(begin, end);
            if (caller && stop_())
                stopped_.store(true, std::memory_order_relaxed);
        }
    }

    const std::ptrdiff_t n_;
    const loop_shape shape_;
    Body &body_;
    Stop &stop_;
    std::atomic<std::ptrdiff_t> next_{0};
    std::atomic<bool> stopped_{false};
};

// body(begin, end) for consecutive blocks covering [0, n), cut as `shape`
// says; stop() is asked on the calling thread after each of its blocks.
// False when it stopped the loop before the whole range was computed.
template <typename Body, typename Stop = run_to_the_end>
bool for_each_block(std::ptrdiff_t n, int workers, Body body, loop_shape shape = cheap_elements,
                    Stop stop = Stop{}) noexcept
{
    block_loop<Body, Stop> loop(n, shape, body, stop);
    return loop.run(workers);
}

}  // namespace vornet::engine

#endif
