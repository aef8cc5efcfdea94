// Work off the calling thread that a QFuture follows: the summary's and describe's asynchronous
// forms. The work runs on a thread of its own and reads through connections of its own; the
// future carries its progress (0 to 100 per walk, each walk's message as progress text), its
// cancel and its failure. What the work made is handed over on the calling thread, in that
// thread's event loop, so that nothing the calling thread owns is touched by the worker.
#pragma once

#include <QFutureInterface>

#include <exception>
#include <functional>
#include <memory>

namespace zel {

class TWalkObserver;

class TAsyncRun {
public:
    // What runs on the calling thread once the work succeeded: it hands the work's results to
    // their owner and to the future. It runs before the future finishes.
    using Finish = std::function<void()>;
    // The work, on the worker thread: walks the records telling `observer` (which throws when
    // the future is cancelled) and returns its Finish.
    using Work = std::function<Finish(TWalkObserver& observer)>;

    // Starts `work` on a new thread; `future`, already started, follows it. Cancelling the
    // future stops the work at its next batch and the statement in flight on every connection
    // the worker thread opened. The future finishes in the calling thread's event loop: after
    // Finish on success, with the work's exception on failure, cancelled after a cancel. The
    // calling thread needs an event loop: without an event dispatcher the future fails at
    // once. Returns the run, for its owner to abandon.
    static std::shared_ptr<TAsyncRun> Start(QFutureInterfaceBase future, Work work);

    // On the calling thread: cancels the run and drops its Finish, so that nothing is handed
    // over any more; for an owner that goes away. The worker thread ends on its own.
    void Abandon();
    // On the calling thread: whether the run has not yet finished its future.
    bool Running() const;

    struct Shared;
    explicit TAsyncRun(std::shared_ptr<Shared> shared) : shared_(std::move(shared)) {}

private:
    std::shared_ptr<Shared> shared_;
};

// Fails `future` at once with `error` and finishes it: for a run refused before it starts.
void FailAtOnce(QFutureInterfaceBase& future, std::exception_ptr error);

} // namespace zel
