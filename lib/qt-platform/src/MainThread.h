#pragma once

#include <QThread>
#include <atomic>

// The thread on which the whole Qt layer lives: it runs Qt's event loop, and
// every Qt object of the layer is moved to it.
class MainThread : public QThread {
    Q_OBJECT

public:
    MainThread();
    ~MainThread() override;

    // Waits at most `milliseconds` (none when negative) for the thread to
    // end entirely: its event loop returned and what the thread does after
    // it (the deletions deferred to it) done. True when it has; otherwise it
    // warns that the loop had to be terminated and returns false, and the
    // terminating is the caller's.
    bool waitForStopped(int milliseconds);

protected:
    void run() override;

private:
    // Set on the thread once its event loop has returned.
    std::atomic<bool> stopped{false};
};
