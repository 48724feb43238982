#pragma once

#include <memory>
#include <string>
#include <vector>

#include "common/application/IApplication.h"

namespace common {

// Base of applications: keeps the argument list and the parameter store for
// its subclasses.
class Application : public IApplication {
public:
    Application(const std::vector<std::string>& arguments, IParams& params);
    ~Application() override;

    void onLocalSocketMessage(const std::string& message) override;
    // Applications that quit override this; the base only reports.
    void quit() override;
    bool flagA() const override { return flagA_; }
    bool flagB() const override { return flagB_; }
    std::uint32_t exitCode() const override { return 0; }

    // The controller that links this process with the product's other
    // processes: over local sockets when "IpcOverLocalSocket" reads true (the
    // default), else over message queues. The caller starts it.
    std::unique_ptr<interprocess::IIpcController> createIpcController(
        ITaskScheduler& scheduler, IIpcQtSocketPlugin* plugin, const std::string& name) override;

protected:
    const std::vector<std::string>& arguments() const { return arguments_; }
    IParams& params() const { return params_; }

private:
    struct Owned {
        virtual ~Owned() = default;
    };

    std::vector<std::string> arguments_;
    std::unique_ptr<Owned> owned_;
    IParams& params_;
    bool flagA_ = false;
    bool flagB_ = false;
};

}  // namespace common
