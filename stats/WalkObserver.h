// What a walk over the records tells whoever shows it to a person: when it begins and ends,
// and how far it has come. The statistics core knows no window; a component binds an observer
// to its progress dialog and the screen cursor, the command line to a text bar.
#pragma once

#include <cstdint>
#include <string>

namespace zel {

// The load reports on a bar, the passes after it on a pie.
enum class TWalkKind : std::uint8_t { Load = 0, Pass = 1 };

class TWalkObserver {
public:
    virtual ~TWalkObserver() = default;

    // A walk over the records of the source that `heading` names begins. `shown`: the user
    // asked to watch its progress; otherwise a busy cursor says that the program works.
    virtual void WalkBegins(const std::string& heading, bool shown) = 0;
    // The walk has come `fraction` of the way (0 to 1). Told only when the whole percentage
    // changes, in order, as often as a call for every value would change it.
    virtual void WalkProgress(TWalkKind kind, const std::string& message, double fraction) = 0;
    // The walk ended, completed or failed.
    virtual void WalkEnds() noexcept = 0;
    // A result was handed out without a walk: no busy cursor is left showing.
    virtual void Idle() noexcept = 0;
};

// Tells an observer (when there is one) that a walk begins and, on every way out of it, that it
// ended.
class TWalkFrame {
public:
    TWalkFrame(TWalkObserver* observer, const std::string& heading, bool shown)
        : observer_(observer)
    {
        if (observer_ != nullptr)
            observer_->WalkBegins(heading, shown);
    }
    ~TWalkFrame()
    {
        if (observer_ != nullptr)
            observer_->WalkEnds();
    }
    TWalkFrame(const TWalkFrame&) = delete;
    TWalkFrame& operator=(const TWalkFrame&) = delete;

private:
    TWalkObserver* observer_;
};

} // namespace zel
