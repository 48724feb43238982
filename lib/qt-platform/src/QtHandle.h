#pragma once

#include <functional>
#include <memory>

#include "QtObjectTracker.h"

// An object of the layer as its user owns it: releasing it deletes the
// object on the thread it lives on, never on the releasing thread.
template <class Interface>
using QtHandle = std::unique_ptr<Interface, std::function<void(Interface*)>>;

// Hands out `object` (a QObject of the class `Concrete`) as a handle counted
// by `tracker`. The handle's deleter ignores a null pointer and anything that
// is not a `Concrete`; otherwise it calls `beforeDelete` (which clears the
// object's handlers, so that nothing it posted reaches its user any more) and
// defers the deletion to the event loop of the object's thread.
template <class Interface, class Concrete>
QtHandle<Interface> makeQtHandle(QtObjectTracker& tracker, Concrete* object,
                                 std::function<void(Concrete&)> beforeDelete = {}) {
    tracker.track(object);
    return QtHandle<Interface>(object, [beforeDelete = std::move(beforeDelete)](Interface* handle) {
        auto* concrete = dynamic_cast<Concrete*>(handle);
        if (concrete == nullptr) {
            return;
        }
        if (beforeDelete) {
            beforeDelete(*concrete);
        }
        concrete->deleteLater();
    });
}
