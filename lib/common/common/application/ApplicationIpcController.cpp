// Application::createIpcController, kept apart because it is the framework's
// one tie to the inter-process layer. The controller over local sockets is
// not part of the build yet: asking for it is reported and yields none.

#include "common/application/Application.h"
#include "common/logging/ILogger.h"
#include "common/params/IParams.h"
#include "interprocess/IpcController.h"

namespace common {

std::unique_ptr<interprocess::IIpcController> Application::createIpcController(
    ITaskScheduler& scheduler, IIpcQtSocketPlugin* /*plugin*/, const std::string& name) {
    const std::string installationId = params_.getValue("InstallationId", "");
    if (!params_.get<bool>("IpcOverLocalSocket", true)) {
        return std::make_unique<interprocess::IpcController>(name, installationId, scheduler,
                                                             createLogger("IpcController"));
    }
    createLogger("Application")
        ->error("cannot create IpcLocalSocketController for '%s' (installation '%s'): no "
                "local-socket layer",
                name.c_str(), installationId.c_str());
    return nullptr;
}

}  // namespace common
