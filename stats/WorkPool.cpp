#include "zelstats/stats/WorkPool.h"

#include <algorithm>
#include <atomic>
#include <system_error>
#include <utility>

namespace zel {

namespace {

std::atomic<std::size_t> maxThreads{0}; // 0: the number of cores

} // namespace

void SetMaxThreads(std::size_t threads) { maxThreads = threads; }

std::size_t MaxThreads()
{
    const std::size_t set = maxThreads;
    return set != 0 ? set : std::max(1u, std::thread::hardware_concurrency());
}

TWorkPool::TWorkPool(std::size_t wanted)
{
    const std::size_t threads = std::min(wanted, MaxThreads());
    for (std::size_t i = 1; i < threads; ++i) {
        try {
            helpers_.emplace_back([this] { HelperLoop(); });
        } catch (const std::system_error&) {
            break; // no thread to be had: the ones there are do the work
        }
    }
}

TWorkPool::~TWorkPool()
{
    {
        const std::lock_guard lock(mutex_);
        stop_ = true;
    }
    wake_.notify_all();
    for (std::thread& helper : helpers_)
        helper.join();
}

void TWorkPool::Run(std::size_t pieces, const std::function<void(std::size_t)>& work)
{
    bool wake = false;
    {
        const std::lock_guard lock(mutex_);
        work_ = &work;
        pieces_ = pieces;
        next_ = 0;
        errors_.assign(pieces, nullptr);
        // A single piece is not worth waking anybody for.
        busy_ = pieces > 1 ? helpers_.size() : 0;
        wake = busy_ > 0;
        if (wake)
            ++generation_;
    }
    if (wake)
        wake_.notify_all();
    TakePieces();
    std::unique_lock lock(mutex_);
    done_.wait(lock, [this] { return busy_ == 0; });
    work_ = nullptr;
    for (std::exception_ptr& error : errors_) {
        if (error)
            std::rethrow_exception(std::exchange(error, nullptr));
    }
}

void TWorkPool::TakePieces()
{
    for (;;) {
        std::size_t piece;
        {
            const std::lock_guard lock(mutex_);
            if (next_ >= pieces_)
                return;
            piece = next_++;
        }
        try {
            (*work_)(piece);
        } catch (...) {
            const std::lock_guard lock(mutex_);
            errors_[piece] = std::current_exception();
        }
    }
}

void TWorkPool::HelperLoop()
{
    std::uint64_t seen = 0;
    std::unique_lock lock(mutex_);
    for (;;) {
        wake_.wait(lock, [&] { return stop_ || generation_ != seen; });
        if (stop_)
            return;
        seen = generation_;
        lock.unlock();
        TakePieces();
        lock.lock();
        if (--busy_ == 0)
            done_.notify_one();
    }
}

} // namespace zel
