#pragma once

#include <QObject>
#include <atomic>
#include <memory>

// Counts the objects that the platform handed out and that still live.
class QtObjectTracker {
public:
    QtObjectTracker();

    // Counts `object` until it is destroyed, on whatever thread.
    void track(QObject* object);

    long liveCount() const;

private:
    std::shared_ptr<std::atomic<long>> live_;
};
