#include "zelstats/stats/AsyncRun.h"

#include "zelstats/data/Cancel.h"
#include "zelstats/stats/WalkObserver.h"

#include <QAbstractEventDispatcher>
#include <QObject>
#include <QSocketNotifier>
#include <QThread>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <unistd.h>
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

// What the threads of a run share. Everything the worker tells the calling thread crosses under
// `mutex`; the worker then writes a byte to the wake pipe, which the relay on the calling thread
// watches. A pipe, not Qt's event queue, wakes the relay: no object is made on one thread and
// freed on the other behind synchronisation the sanitizers cannot see.
struct TAsyncRun::Shared {
    Shared() = default;
    ~Shared()
    {
        for (int fd : wake)
            if (fd >= 0)
                close(fd);
    }
    Shared(const Shared&) = delete;
    Shared& operator=(const Shared&) = delete;

    // From the worker: tells the relay to look. A full pipe already holds a byte it will read.
    void Wake() noexcept
    {
        const char byte = 1;
        while (write(wake[1], &byte, 1) < 0 && errno == EINTR) {
        }
    }
    // On the calling thread: empties the pipe.
    void Drain() noexcept
    {
        char bytes[64];
        for (;;) {
            const ssize_t got = read(wake[0], bytes, sizeof bytes);
            if (got <= 0 && !(got < 0 && errno == EINTR))
                return;
        }
    }

    QFutureInterfaceBase future;
    int wake[2] = {-1, -1};
    std::mutex mutex;
    std::condition_variable workDone;
    bool done = false;   // the work returned or threw: the watch ends
    bool ready = false;  // and the worker let its watch go: the relay may finish the future
    Finish finish;
    std::exception_ptr error;
    bool abandoned = false;
    bool finished = false;
    // The progress the worker reached: the walk's number, message and whole percentage, and
    // whether the relay was already woken to show it.
    int walk = 0;
    std::string message;
    int percent = 0;
    bool progressPosted = false;
};

// Lives on the calling thread and is woken there through the shared wake pipe: it shows the
// worker's latest progress and, once the worker is done, finishes the future.
class TAsyncRelay : public QObject {
    Q_OBJECT
public:
    explicit TAsyncRelay(std::shared_ptr<TAsyncRun::Shared> shared)
        : shared_(std::move(shared)), notifier_(shared_->wake[0], QSocketNotifier::Read, this)
    {
        connect(&notifier_, &QSocketNotifier::activated, this, &TAsyncRelay::Woken);
    }

private:
    void Woken()
    {
        shared_->Drain();
        int walk = 0, percent = 0;
        std::string message;
        bool progress = false, ready = false;
        TAsyncRun::Finish finish;
        std::exception_ptr error;
        {
            std::lock_guard lock(shared_->mutex);
            progress = std::exchange(shared_->progressPosted, false);
            walk = shared_->walk;
            percent = shared_->percent;
            message = shared_->message;
            ready = shared_->ready;
            if (ready && !shared_->abandoned) {
                finish = std::move(shared_->finish);
                error = shared_->error;
            }
        }
        if (progress)
            ShowProgress(walk, percent, message);
        if (ready) {
            notifier_.setEnabled(false);
            FinishFuture(std::move(finish), error);
            deleteLater();
        }
    }

    // Given to the future here: Qt's strings must not be shared between the worker and the
    // watchers' thread.
    void ShowProgress(int walk, int percent, const std::string& message)
    {
        QFutureInterfaceBase& future = shared_->future;
        if (walk != shownWalk_) {
            shownWalk_ = walk;
            future.setProgressRange(0, 100); // each walk starts over at 0
        }
        future.setProgressValueAndText(percent, QString::fromStdString(message));
    }

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
    QSocketNotifier notifier_; // after shared_: disabled before the pipe can close
    int shownWalk_ = 0;
};

namespace {

// Feeds the future from the walks, through the relay: the relay is woken once for any number of
// progress changes it has not yet shown, and the walks tell only whole-percent changes, so that
// the calling thread is never flooded. Throws when the future is cancelled, to stop the walk.
class FutureObserver : public TWalkObserver {
public:
    explicit FutureObserver(TAsyncRun::Shared& shared) : shared_(shared) {}

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
        shared_.Wake();
    }

    void StopIfCancelled() const
    {
        if (shared_.future.isCanceled())
            throw ECancelled();
    }
    TAsyncRun::Shared& shared_;
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

void RunWork(const std::shared_ptr<TAsyncRun::Shared>& shared, const TAsyncRun::Work& work)
{
    std::thread watch(Watch, std::ref(*shared), std::this_thread::get_id());
    FutureObserver observer(*shared);
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
    {
        std::lock_guard lock(shared->mutex);
        shared->ready = true;
    }
    shared->Wake();
}

} // namespace

std::shared_ptr<TAsyncRun> TAsyncRun::Start(QFutureInterfaceBase future, Work work)
{
    auto shared = std::make_shared<Shared>();
    shared->future = future;
    const auto refuse = [&](auto error) { // by value: the exception keeps its own type
        FailAtOnce(future, std::make_exception_ptr(error));
        shared->finished = true;
        return std::make_shared<TAsyncRun>(shared);
    };
    if (QThread::currentThread()->eventDispatcher() == nullptr)
        return refuse(std::logic_error("An asynchronous summary needs an event loop on the thread "
                                       "that starts it; without one, summarise with Summarize()"));
    if (pipe2(shared->wake, O_CLOEXEC | O_NONBLOCK) != 0)
        return refuse(std::runtime_error(std::string("Cannot start an asynchronous summary: ") +
                                         std::strerror(errno)));
    future.setProgressRange(0, 100);
    new TAsyncRelay(shared); // deletes itself once it finished the future
    std::thread([shared, work = std::move(work)] { RunWork(shared, work); }).detach();
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
