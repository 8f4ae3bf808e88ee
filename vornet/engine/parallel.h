// Splits a loop over [0, n) between the calling thread and up to
// workers - 1 native threads. The range is cut into fixed blocks that the
// threads take in turn from a shared counter, so uneven costs even out and
// every element is computed exactly once, by whichever thread takes its
// block: the results do not depend on the number of threads.
//
// No thread started here touches a Python object; the caller runs the loop
// with its own thread detached from the interpreter.
#ifndef VORNET_ENGINE_PARALLEL_H
#define VORNET_ENGINE_PARALLEL_H

#include <pthread.h>

#include <atomic>
#include <cstddef>

namespace vornet::engine {

constexpr std::ptrdiff_t block_size = 64;
// No thread is started for fewer elements than this each: starting one
// costs about as much as pricing a few dozen options.
constexpr std::ptrdiff_t min_elements_per_thread = 256;
constexpr int max_threads = 256;

template <typename Body>
class block_loop {
  public:
    block_loop(std::ptrdiff_t n, Body &body) noexcept : n_(n), body_(body) {}

    void run(int workers) noexcept
    {
        std::ptrdiff_t wanted = (n_ + min_elements_per_thread - 1) / min_elements_per_thread;
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
        take_blocks();
        for (int t = 0; t < started; ++t)
            pthread_join(threads[t], nullptr);
    }

  private:
    static void *thread_main(void *self) noexcept
    {
        static_cast<block_loop *>(self)->take_blocks();
        return nullptr;
    }

    void take_blocks() noexcept
    {
        for (;;) {
            const std::ptrdiff_t begin = next_.fetch_add(block_size, std::memory_order_relaxed);
            if (begin >= n_)
                return;
            const std::ptrdiff_t end = begin + block_size < n_ ? begin + block_size : n_;
            body_(begin, end);
        }
    }

    const std::ptrdiff_t n_;
    Body &body_;
    std::atomic<std::ptrdiff_t> next_{0};
};

// body(begin, end) for consecutive blocks covering [0, n).
template <typename Body>
void for_each_block(std::ptrdiff_t n, int workers, Body body) noexcept
{
    block_loop<Body> loop(n, body);
    loop.run(workers);
}

}  // namespace vornet::engine

#endif
