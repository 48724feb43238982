#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "common/Delegate.h"
#include "common/application/ILocalSocketMessageHandler.h"
#include "interprocess/IIpcController.h"

class IQtPlatform;
class IIpcQtSocketPlugin;


namespace common {

class IParams;
class ITaskScheduler;

// The listener of an application; no operation of its own yet.
class IApplicationDelegate {
public:
    virtual ~IApplicationDelegate() = default;
};

// What a program of the product family implements to plug into the shared
// start-up: `main` registers a factory in `createDelegate`, creates the
// application through `create`, calls `init`, runs the scheduler and prints
// `exitCode`.
class IApplication : public ILocalSocketMessageHandler, public Delegate<IApplicationDelegate> {
public:
    using Factory = std::function<std::unique_ptr<IApplication>(
        const std::vector<std::string>& arguments, ITaskScheduler& scheduler, IParams& params,
        IQtPlatform* qtPlatform)>;

    // The process-wide factory; empty until the program sets it.
    static Factory createDelegate;

    // Creates the application through the registered factory. Without a
    // factory it reports an assertion and returns an empty pointer, which the
    // caller treats as a failed start.
    static std::unique_ptr<IApplication> create(const std::vector<std::string>& arguments,
                                                ITaskScheduler& scheduler, IParams& params,
                                                IQtPlatform* qtPlatform);

    // True when the application started and the scheduler may run.
    virtual bool init() = 0;
    virtual void quit() = 0;
    virtual bool flagA() const = 0;
    virtual bool flagB() const = 0;
    virtual std::uint32_t exitCode() const = 0;
    virtual std::unique_ptr<interprocess::IIpcController> createIpcController(
        ITaskScheduler& scheduler, IIpcQtSocketPlugin* plugin, const std::string& name) = 0;
};

}  // namespace common
