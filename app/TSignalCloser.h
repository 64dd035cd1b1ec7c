#pragma once
// Turns SIGTERM and SIGHUP (a desktop logging out, `kill`) into a call on the main thread, so
// the window can close as its close button does: the running cut stops and its shorter file is
// put in place, instead of the process dying with a temporary left behind.
//
// Threads: the signal handler only writes one byte to a pipe; the pipe's read end is watched by
// a QSocketNotifier on the thread that created the object, which runs OnSignal there. One
// object per process at a time; the handlers go back to the default when it is destroyed.

#include <QObject>

#include <functional>
#include <memory>

class QSocketNotifier;

class TSignalCloser : public QObject {
public:
    explicit TSignalCloser(std::function<void()> onSignal, QObject* parent = nullptr);
    ~TSignalCloser() override;
    TSignalCloser(const TSignalCloser&) = delete;
    TSignalCloser& operator=(const TSignalCloser&) = delete;

    bool Installed() const { return FNotifier != nullptr; }

private:
    void Drain();

    std::function<void()> FOnSignal;
    int FPipe[2] = {-1, -1};
    std::unique_ptr<QSocketNotifier> FNotifier;
};
