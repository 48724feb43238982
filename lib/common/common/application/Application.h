#pragma once

#include "common/application/IApplication.h"

namespace common {

// The base of applications: keeps the argument list and the parameter store
// for its subclasses. Its own quit is a mistake to call (an assertion);
// subclasses that quit override it.
class Application : public IApplication {
public:
    Application(const std::vector<std::string>& arguments, IParams& params);
    ~Application() override;

    void onLocalSocketMessage(const std::string& message) override;
    void quit() override;
    bool flagA() const override;
    bool flagB() const override;
    int exitCode() const override;

    // Reads "InstallationId" and "IpcOverLocalSocket" (default true) from the
    // parameter store and makes the controller over local sockets, or over
    // message queues when "IpcOverLocalSocket" reads false; over local sockets
    // without a socket plug-in there is none (reported).
    std::unique_ptr<interprocess::IIpcController> createIpcController(
        ITaskScheduler& scheduler, IIpcQtSocketPlugin* plugin, const std::string& name) override;

protected:
    std::vector<std::string> arguments_;
    IParams& params_;

private:
    bool flagA_ = false;
    bool flagB_ = false;
};

}  // namespace common
