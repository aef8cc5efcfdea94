#include "zelstats/stats/AsyncRun.h"

#include "zelstats/data/Cancel.h"
#include "zelstats/stats/WalkObserver.h"

#include <QAbstractEventDispatcher>
#include <QObject>
#include <QThread>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>

namespace zel {

namespace {

// A walk stopped because its future was cancelled.
class ECancelled : public std::exception {
public:
    const char* what() const noexcept override { return "cancelled"; }
};

// How often the watch looks for a cancel, how often it cancels again while the work goes on,
// and how long a cancelled statement may take to stop.
constexpr auto WatchPeriod = std::chrono::milliseconds(10);
constexpr auto RecancelPeriod = std::chrono::milliseconds(50);
constexpr auto CancelTimeout = std::chrono::milliseconds(150);

} // namespace

// What the threads of a run share. The outcome crosses from the worker to the calling thread
// under `mutex`; the relay, on the calling thread, is told through Qt's event queue that it is
// there.
struct TAsyncRun::Shared {
    QFutureInterfaceBase future;
    std::mutex mutex;
    std::condition_variable workDone;
    bool done = false;
    Finish finish;
    std::exception_ptr error;
    bool abandoned = false;
    bool finished = false;
    // The progress the worker reached: the walk's number, message and whole percentage, and
    // whether the relay was already told to show it.
    int walk = 0;
    std::string message;
    int percent = 0;
    bool progressPosted = false;
};

// Lives on the calling thread; the worker invokes Complete through the event queue, with no
// data of its own: everything passes under the shared mutex.
class TAsyncRelay : public QObject {
    Q_OBJECT
public:
    explicit TAsyncRelay(std::shared_ptr<TAsyncRun::Shared> shared) : shared_(std::move(shared)) {}

public slots:
    // The worker's latest progress, given to the future here: Qt's strings must not be shared
    // between the worker and the watchers' thread.
    void Progress()
    {
        int walk = 0, percent = 0;
        std::string message;
        {
            std::lock_guard lock(shared_->mutex);
            walk = shared_->walk;
            percent = shared_->percent;
            message = shared_->message;
            shared_->progressPosted = false;
        }
        QFutureInterfaceBase& future = shared_->future;
        if (walk != shownWalk_) {
            shownWalk_ = walk;
            future.setProgressRange(0, 100); // each walk starts over at 0
        }
        future.setProgressValueAndText(percent, QString::fromStdString(message));
    }

    void Complete()
    {
        TAsyncRun::Finish finish;
        std::exception_ptr error;
        {
            std::lock_guard lock(shared_->mutex);
            if (!shared_->abandoned) {
                finish = std::move(shared_->finish);
                error = shared_->error;
            }
        }
        FinishFuture(std::move(finish), error);
        deleteLater();
    }

private:
    void FinishFuture(TAsyncRun::Finish finish, std::exception_ptr error)
    {
        QFutureInterfaceBase& future = shared_->future;
        if (!future.isCanceled()) {
            try {
                if (error)
                    std::rethrow_exception(error);
                if (finish)
                    finish();
            } catch (...) {
                future.reportException(std::current_exception());
            }
        }
        shared_->finished = true;
        future.reportFinished();
    }

    std::shared_ptr<TAsyncRun::Shared> shared_;
    int shownWalk_ = 0;
};

namespace {

// Feeds the future from the walks, through the relay: at most one progress call waits in the
// calling thread's event queue at a time, and the walks tell only whole-percent changes, so that
// queue is never flooded. Throws when the future is cancelled, to stop the walk.
class FutureObserver : public TWalkObserver {
public:
    FutureObserver(TAsyncRun::Shared& shared, QObject* relay) : shared_(shared), relay_(relay) {}

    void WalkBegins(const std::string&, bool) override
    {
        StopIfCancelled();
        std::lock_guard lock(shared_.mutex);
        ++shared_.walk;
        shared_.percent = 0;
    }
    void WalkProgress(TWalkKind, const std::string& message, double fraction) override
    {
        StopIfCancelled();
        Post(static_cast<int>(fraction * 100.0), &message);
    }
    // A walk that ends shows 100: its last progress may have been short of it.
    void WalkEnds() noexcept override { Post(100, nullptr); }
    void Idle() noexcept override {}

private:
    void Post(int percent, const std::string* message) noexcept
    {
        {
            std::lock_guard lock(shared_.mutex);
            if (message != nullptr && shared_.message != *message)
                shared_.message = *message;
            shared_.percent = percent;
            if (std::exchange(shared_.progressPosted, true))
                return;
        }
        QMetaObject::invokeMethod(relay_, "Progress", Qt::QueuedConnection);
    }

    void StopIfCancelled() const
    {
        if (shared_.future.isCanceled())
            throw ECancelled();
    }
    TAsyncRun::Shared& shared_;
    QObject* relay_;
};

// Stops the worker's statements once the future is cancelled, and again now and then while the
// work goes on: a connection the worker opens after the first cancel is stopped too. Ends when
// the work does.
void Watch(TAsyncRun::Shared& shared, std::thread::id worker)
{
    std::unique_lock lock(shared.mutex);
    while (!shared.done) {
        const bool cancelled = shared.future.isCanceled();
        if (cancelled) {
            lock.unlock();
            CancelStatementsOfThread(worker, CancelTimeout);
            lock.lock();
        }
        shared.workDone.wait_for(lock, cancelled ? RecancelPeriod : WatchPeriod);
    }
}

void RunWork(const std::shared_ptr<TAsyncRun::Shared>& shared, TAsyncRelay* relay,
             const TAsyncRun::Work& work)
{
    std::thread watch(Watch, std::ref(*shared), std::this_thread::get_id());
    FutureObserver observer(*shared, relay);
    TAsyncRun::Finish finish;
    std::exception_ptr error;
    try {
        finish = work(observer);
    } catch (...) {
        // A cancelled run reports no failure: the statements stopped under it fail too.
        if (!shared->future.isCanceled())
            error = std::current_exception();
    }
    {
        std::lock_guard lock(shared->mutex);
        shared->done = true;
        shared->finish = std::move(finish);
        shared->error = error;
    }
    shared->workDone.notify_all();
    watch.join();
    QMetaObject::invokeMethod(relay, "Complete", Qt::QueuedConnection);
}

} // namespace

std::shared_ptr<TAsyncRun> TAsyncRun::Start(QFutureInterfaceBase future, Work work)
{
    auto shared = std::make_shared<Shared>();
    shared->future = future;
    if (QThread::currentThread()->eventDispatcher() == nullptr) {
        FailAtOnce(future, std::make_exception_ptr(std::logic_error(
                               "An asynchronous summary needs an event loop on the thread that "
                               "starts it; without one, summarise with Summarize()")));
        shared->finished = true;
        return std::make_shared<TAsyncRun>(shared);
    }
    future.setProgressRange(0, 100);
    auto* relay = new TAsyncRelay(shared);
    std::thread([shared, relay, work = std::move(work)] { RunWork(shared, relay, work); }).detach();
    return std::make_shared<TAsyncRun>(shared);
}

void TAsyncRun::Abandon()
{
    shared_->future.cancel();
    std::lock_guard lock(shared_->mutex);
    shared_->abandoned = true;
    shared_->finish = nullptr;
}

bool TAsyncRun::Running() const { return !shared_->finished; }

void FailAtOnce(QFutureInterfaceBase& future, std::exception_ptr error)
{
    future.reportException(error);
    future.reportFinished();
}

} // namespace zel

#include "AsyncRun.moc"
