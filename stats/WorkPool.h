// The one way the statistics core splits work over threads: a small pool that runs numbered
// pieces, used by the summary's moments pass and by describe alike.
//
// The pieces' owners keep one partial state per piece (stats/Aggregates.h) and combine them in
// piece order, so a result is the same to the bit whatever the number of threads.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace zel {

// The most threads one pool runs, its caller's own included, for the whole process: by default
// the number of cores; 1 runs every piece on the calling thread. 0 restores the default.
void SetMaxThreads(std::size_t threads);
std::size_t MaxThreads();

class TWorkPool {
public:
    // Starts the helper threads at once: `wanted` threads in all (the caller's included), at most
    // MaxThreads(). A helper that cannot start is done without: the work goes on with fewer.
    explicit TWorkPool(std::size_t wanted);
    ~TWorkPool();
    TWorkPool(const TWorkPool&) = delete;
    TWorkPool& operator=(const TWorkPool&) = delete;

    // The threads Run uses: the caller's and the helpers that started.
    std::size_t Threads() const { return helpers_.size() + 1; }

    // Runs work(piece) once for every piece 0 .. pieces - 1, on the calling thread and the
    // helpers, and returns when all have ended. A piece that throws does not stop the others;
    // the exception of the lowest-numbered piece that threw is thrown again after.
    void Run(std::size_t pieces, const std::function<void(std::size_t)>& work);

private:
    void HelperLoop();
    void TakePieces();

    std::vector<std::thread> helpers_;
    std::mutex mutex_;
    std::condition_variable wake_, done_;
    const std::function<void(std::size_t)>* work_ = nullptr;
    std::size_t pieces_ = 0, next_ = 0;
    std::vector<std::exception_ptr> errors_;
    std::uint64_t generation_ = 0; // runs handed out
    std::size_t busy_ = 0;         // helpers still on the current run
    bool stop_ = false;
};

} // namespace zel
