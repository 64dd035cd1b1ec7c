// SIGTERM and SIGHUP reach the main thread as a call, and the default actions come back when the
// closer goes.
#include "app/TSignalCloser.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <gtest/gtest.h>

#include <csignal>

namespace {

bool WaitFor(const int& counter, int value) {
    QElapsedTimer timer;
    timer.start();
    while (counter < value && timer.elapsed() < 5000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    return counter >= value;
}

TEST(SignalCloser, TermAndHangUpCallOnTheMainThreadAndTheDefaultsReturn) {
    int calls = 0;
    {
        TSignalCloser closer([&calls] { ++calls; });
        ASSERT_TRUE(closer.Installed());
        std::raise(SIGTERM);
        EXPECT_TRUE(WaitFor(calls, 1));
        std::raise(SIGHUP);
        EXPECT_TRUE(WaitFor(calls, 2));
        // Two before the loop runs again make one close at least, never a crash.
        std::raise(SIGTERM);
        std::raise(SIGTERM);
        EXPECT_TRUE(WaitFor(calls, 3));
    }
    for (const int signal : {SIGTERM, SIGHUP}) {
        struct sigaction now = {};
        ::sigaction(signal, nullptr, &now);
        EXPECT_EQ(now.sa_handler, SIG_DFL) << signal;
    }
}

} // namespace
