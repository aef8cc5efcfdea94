// One way to stop a statement in flight, whatever the database: each driver registers a
// canceller for every connection it holds open, and a caller on another thread (the command
// line's signal thread, an application's Cancel) stops them all or one.
#pragma once

#include <chrono>
#include <thread>

namespace zel {

// The part of an open connection that can stop its statement from another thread.
class StatementCanceller {
public:
    using Deadline = std::chrono::steady_clock::time_point;

    virtual ~StatementCanceller() = default;
    // Stops the statement the connection runs, if any, and makes the connection's later
    // statements fail at once with EDatabaseError, so that a walk between two batches stops
    // too. Runs on a thread other than the connection's; it may talk to the server, but gives
    // up at `deadline`. Never throws.
    virtual void CancelStatement(Deadline deadline) noexcept = 0;
};

// Keeps a canceller registered for its lifetime. A driver holds one beside each connection,
// made after the connection opens and destroyed before it closes: destruction waits until no
// cancel is running through the canceller.
class CancelRegistration {
public:
    explicit CancelRegistration(StatementCanceller& canceller);
    ~CancelRegistration();
    CancelRegistration(const CancelRegistration&) = delete;
    CancelRegistration& operator=(const CancelRegistration&) = delete;

private:
    StatementCanceller& canceller_;
    // The thread that opened the connection, the one its statements run on.
    std::thread::id thread_;
};

// Cancels the statement of every connection registered at the call, all within `timeout`.
// Ordinary code: it takes a lock and may wait on the network, so a signal handler must not
// call it (it wakes a thread that does).
void CancelAllStatements(std::chrono::milliseconds timeout) noexcept;

// Cancels the statement of every connection that `thread` opened and still holds, within
// `timeout`: how a summary run on a worker thread of its own is stopped, its connections being
// that thread's alone. Ordinary code, as CancelAllStatements.
void CancelStatementsOfThread(std::thread::id thread, std::chrono::milliseconds timeout) noexcept;

} // namespace zel
