#include "KivraHardwareAPI/Threads.h"

namespace Kivra::HardwareAPI {

AsyncSignalsBlocked::AsyncSignalsBlocked() {
    sigset_t all;
    sigfillset(&all);
    // Signals of a fault in the thread itself must still reach it.
    for (const int synchronous : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGSYS}) sigdelset(&all, synchronous);
    pthread_sigmask(SIG_BLOCK, &all, &saved);
}

AsyncSignalsBlocked::~AsyncSignalsBlocked() { pthread_sigmask(SIG_SETMASK, &saved, nullptr); }

}  // namespace Kivra::HardwareAPI
