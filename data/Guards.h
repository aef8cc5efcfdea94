// Two small tools for state that must be put back: a process-wide handler that callers replace
// and restore, and an action run when a scope ends, also when a failure leaves it.
#pragma once

#include <mutex>
#include <utility>

namespace zel {

// A replaceable process-wide handler (a std::function, say). Replace hands back the one it
// replaced, so that the caller can put it back; Current is a copy, so that a handler may
// replace itself while it runs. Both may be called on any thread: the handler is read and
// written under a lock, and run outside it.
template <class Handler>
class TReplaceable {
public:
    Handler Replace(Handler next)
    {
        std::lock_guard lock(mutex_);
        return std::exchange(handler_, std::move(next));
    }
    Handler Current() const
    {
        std::lock_guard lock(mutex_);
        return handler_;
    }

private:
    mutable std::mutex mutex_;
    Handler handler_{};
};

// Runs `action` when the scope ends, however it ends.
template <class Action>
class TAtScopeExit {
public:
    explicit TAtScopeExit(Action action) : action_(std::move(action)) {}
    ~TAtScopeExit() { action_(); }
    TAtScopeExit(const TAtScopeExit&) = delete;
    TAtScopeExit& operator=(const TAtScopeExit&) = delete;

private:
    Action action_;
};

} // namespace zel
