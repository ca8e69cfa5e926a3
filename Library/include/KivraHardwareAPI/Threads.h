#pragma once

// Threads the library starts for itself take no asynchronous signals: a
// SIGINT or SIGTERM meant for the program goes to a thread of the program,
// whose handlers (an interpreter's among them) run only there.

#include <thread>
#include <utility>

#include <signal.h>

namespace Kivra::HardwareAPI {

// Blocks the asynchronous signals in the calling thread for its lifetime;
// a thread started meanwhile keeps them blocked.
class AsyncSignalsBlocked {
public:
    AsyncSignalsBlocked();
    ~AsyncSignalsBlocked();
    AsyncSignalsBlocked(const AsyncSignalsBlocked&) = delete;
    AsyncSignalsBlocked& operator=(const AsyncSignalsBlocked&) = delete;

private:
    sigset_t saved;
};

// std::thread for the library's own work; throws std::system_error as it does.
template <typename Function, typename... Arguments>
std::thread library_thread(Function&& function, Arguments&&... arguments) {
    const AsyncSignalsBlocked blocked;
    return std::thread(std::forward<Function>(function), std::forward<Arguments>(arguments)...);
}

}  // namespace Kivra::HardwareAPI
