#include "zelstats/data/Cancel.h"

#include <mutex>
#include <optional>
#include <vector>

namespace zel {

namespace {

// The registry. Cancels run under its lock, so a connection cannot close (its registration
// waits here) while a cancel is talking to its server. Both live until the process ends, never
// destroyed: a connection of a component that is itself a static object closes during the exit
// handlers, after function statics made before it would have gone.
std::mutex& RegistryMutex()
{
    static auto* mutex = new std::mutex;
    return *mutex;
}

struct Registered {
    StatementCanceller* canceller;
    std::thread::id thread;
};

std::vector<Registered>& Registry()
{
    static auto* cancellers = new std::vector<Registered>;
    return *cancellers;
}

void CancelWhere(std::chrono::milliseconds timeout, std::optional<std::thread::id> thread) noexcept
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::lock_guard lock(RegistryMutex());
    for (const Registered& entry : Registry())
        if (!thread || entry.thread == *thread)
            entry.canceller->CancelStatement(deadline);
}

} // namespace

CancelRegistration::CancelRegistration(StatementCanceller& canceller)
    : canceller_(canceller), thread_(std::this_thread::get_id())
{
    std::lock_guard lock(RegistryMutex());
    Registry().push_back({&canceller_, thread_});
}

CancelRegistration::~CancelRegistration()
{
    std::lock_guard lock(RegistryMutex());
    auto& cancellers = Registry();
    std::erase_if(cancellers,
                  [this](const Registered& entry) { return entry.canceller == &canceller_; });
}

void CancelAllStatements(std::chrono::milliseconds timeout) noexcept
{
    CancelWhere(timeout, std::nullopt);
}

void CancelStatementsOfThread(std::thread::id thread, std::chrono::milliseconds timeout) noexcept
{
    CancelWhere(timeout, thread);
}

} // namespace zel
