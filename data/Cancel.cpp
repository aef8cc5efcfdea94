#include "data/Cancel.h"

#include <algorithm>
#include <mutex>
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

std::vector<StatementCanceller*>& Registry()
{
    static auto* cancellers = new std::vector<StatementCanceller*>;
    return *cancellers;
}

} // namespace

CancelRegistration::CancelRegistration(StatementCanceller& canceller) : canceller_(canceller)
{
    std::lock_guard lock(RegistryMutex());
    Registry().push_back(&canceller_);
}

CancelRegistration::~CancelRegistration()
{
    std::lock_guard lock(RegistryMutex());
    auto& cancellers = Registry();
    cancellers.erase(std::remove(cancellers.begin(), cancellers.end(), &canceller_),
                     cancellers.end());
}

void CancelAllStatements(std::chrono::milliseconds timeout) noexcept
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::lock_guard lock(RegistryMutex());
    for (StatementCanceller* canceller : Registry())
        canceller->CancelStatement(deadline);
}

} // namespace zel
