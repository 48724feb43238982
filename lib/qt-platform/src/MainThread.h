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

    // True when the event loop has returned within `milliseconds`.
    bool waitForStopped(int milliseconds);

protected:
    void run() override;

private:
    std::atomic<bool> stopped{false};
};
