#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "common/application/IApplicationDelegate.h"
#include "common/application/ILocalSocketMessageHandler.h"
#include "common/delegate/Delegate.h"
#include "interprocess/IIpcController.h"

class IQtPlatform;
class IIpcQtSocketPlugin;

namespace interprocess {
class IIpcController;
}

namespace common {

class IParams;
class ITaskScheduler;

// What a program of the product family implements to plug into the shared
// start-up: the entry point registers a factory in createDelegate, makes the
// application through create, calls init and, when that succeeds, runs the
// scheduler; afterwards it prints exitCode as "<exitcode>N</exitcode>".
class IApplication : public ILocalSocketMessageHandler, public Delegate<IApplicationDelegate> {
public:
    using Factory = std::function<std::unique_ptr<IApplication>(
        const std::vector<std::string>& arguments, ITaskScheduler& scheduler, IParams& params,
        IQtPlatform* qt)>;

    // The program's factory; empty until the program assigns one.
    static Factory createDelegate;

    // The application made by createDelegate. With no factory registered the
    // assertion "createDelegate is empty" is reported and the result is
    // empty, which the caller treats as a failed init.
    static std::unique_ptr<IApplication> create(const std::vector<std::string>& arguments,
                                                ITaskScheduler& scheduler, IParams& params,
                                                IQtPlatform* qt);

    ~IApplication() override = default;

    // True when the application started and the scheduler may run.
    virtual bool init() = 0;
    virtual void quit() = 0;
    virtual bool flagA() const = 0;
    virtual bool flagB() const = 0;
    // The process's exit code once the scheduler has returned.
    virtual int exitCode() const = 0;
    // The inter-process controller for the process named `name`; started,
    // used and stopped by the caller.
    virtual std::unique_ptr<interprocess::IIpcController> createIpcController(
        ITaskScheduler& scheduler, IIpcQtSocketPlugin* plugin, const std::string& name) = 0;
};

}  // namespace common
