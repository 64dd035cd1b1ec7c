#include "app/TSignalCloser.h"

#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <utility>

#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr int CloseSignals[] = {SIGTERM, SIGHUP};

// The write end of the installed object's pipe; -1 while none is installed.
volatile std::sig_atomic_t SignalPipe = -1;

void OnCloseSignal(int) {
    const int saved = errno;
    const int fd = SignalPipe;
    if (fd >= 0) {
        const char byte = 1;
        // A full pipe already holds a pending close; nothing is lost by dropping this one.
        (void)!::write(fd, &byte, 1);
    }
    errno = saved;
}

} // namespace

TSignalCloser::TSignalCloser(std::function<void()> onSignal, QObject* parent)
    : QObject(parent), FOnSignal(std::move(onSignal)) {
    if (::pipe2(FPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        FPipe[0] = FPipe[1] = -1;
        return;
    }
    FNotifier = std::make_unique<QSocketNotifier>(FPipe[0], QSocketNotifier::Read);
    connect(FNotifier.get(), &QSocketNotifier::activated, this, [this] { Drain(); });
    SignalPipe = FPipe[1];
    struct sigaction action = {};
    action.sa_handler = OnCloseSignal;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    for (const int signal : CloseSignals)
        ::sigaction(signal, &action, nullptr);
}

TSignalCloser::~TSignalCloser() {
    if (FNotifier) {
        for (const int signal : CloseSignals)
            std::signal(signal, SIG_DFL);
        SignalPipe = -1;
    }
    FNotifier.reset();
    for (int& fd : FPipe)
        if (fd >= 0)
            ::close(fd);
}

void TSignalCloser::Drain() {
    char buf[64];
    while (::read(FPipe[0], buf, sizeof buf) > 0) {
    }
    if (FOnSignal)
        FOnSignal();
}
