#include "QtObjectTracker.h"

QtObjectTracker::QtObjectTracker() : live_(std::make_shared<std::atomic<long>>(0)) {}

void QtObjectTracker::track(QObject* object) {
    if (object == nullptr) {
        return;
    }
    ++*live_;
    // The counter outlives the tracker for objects that outlive the platform.
    QObject::connect(object, &QObject::destroyed, [live = live_] { --*live; });
}

long QtObjectTracker::liveCount() const {
    return live_->load();
}
