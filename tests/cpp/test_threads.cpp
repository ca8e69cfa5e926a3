#include <gtest/gtest.h>

#include <signal.h>

#include "KivraHardwareAPI/Threads.h"

using Kivra::HardwareAPI::library_thread;

namespace {

sigset_t current_mask() {
    sigset_t mask;
    sigemptyset(&mask);
    pthread_sigmask(SIG_BLOCK, nullptr, &mask);
    return mask;
}

// A signal meant for the program must reach a thread of the program: an
// interpreter that sleeps in its main thread is not woken by one that a
// library thread took.
TEST(LibraryThreads, LeaveAsynchronousSignalsToTheProgramAndFaultsToThemselves) {
    const sigset_t before = current_mask();
    ASSERT_FALSE(sigismember(&before, SIGTERM));
    sigset_t inside;
    library_thread([&inside] { inside = current_mask(); }).join();
    for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGUSR1, SIGALRM, SIGCHLD}) {
        EXPECT_TRUE(sigismember(&inside, signal)) << signal;
    }
    for (const int signal : {SIGSEGV, SIGBUS, SIGFPE, SIGILL}) EXPECT_FALSE(sigismember(&inside, signal)) << signal;
    // The starting thread keeps the mask it had.
    const sigset_t after = current_mask();
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) EXPECT_FALSE(sigismember(&after, signal)) << signal;
}

}  // namespace
