#pragma once
// Records what the application's exception display is given while it lives,
// and puts the previous display back at its end. Thread-safe: the serial
// component's event thread may hand exceptions over while a test reads.

#include "host/ExceptionDisplay.h"
#include "host/MessageLoop.h"

#include <mutex>
#include <string>
#include <vector>

namespace rc_test {

class ShownExceptions {
public:
    ShownExceptions()
        : FPrevious(host::SetExceptionDisplay([this](const std::string& message) {
              std::lock_guard lock(FMutex);
              if (!host::IsMainThread())
                  FOffGuiThread = true;
              FShown.push_back(message);
          })) {}
    ~ShownExceptions() { host::SetExceptionDisplay(FPrevious); }
    ShownExceptions(const ShownExceptions&) = delete;
    ShownExceptions& operator=(const ShownExceptions&) = delete;

    // The messages shown so far, in order.
    std::vector<std::string> Shown() const {
        std::lock_guard lock(FMutex);
        return FShown;
    }
    // Whether any was shown on a thread other than the GUI thread.
    bool OffGuiThread() const {
        std::lock_guard lock(FMutex);
        return FOffGuiThread;
    }

private:
    mutable std::mutex FMutex;
    std::vector<std::string> FShown;
    bool FOffGuiThread = false;
    host::ExceptionDisplay FPrevious;
};

} // namespace rc_test
