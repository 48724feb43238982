// Application::createIpcController, kept apart because it is the framework's
// one tie to the inter-process layer.

#include "common/application/Application.h"
#include "common/logging/ILogger.h"
#include "common/params/IParams.h"
#include "interprocess/IpcController.h"
#include "interprocess/controller/IpcLocalSocketController.h"

namespace common {

std::unique_ptr<interprocess::IIpcController> Application::createIpcController(
    ITaskScheduler& scheduler, IIpcQtSocketPlugin* plugin, const std::string& name) {
    const std::string installationId = params_.getValue("InstallationId", "");
    if (!params_.get<bool>("IpcOverLocalSocket", true)) {
        return std::make_unique<interprocess::IpcController>(name, installationId, scheduler,
                                                             createLogger("IpcController"));
    }
    if (plugin == nullptr) {
        createLogger("Application")
            ->error(
                "cannot create IpcLocalSocketController for '%s' (installation '%s'): no "
                "socket plug-in",
                name.c_str(), installationId.c_str());
        return nullptr;
    }
    return std::make_unique<interprocess::IpcLocalSocketController>(
        name, installationId, scheduler, plugin, createLogger("IpcLocalSocketController"));
}

}  // namespace common
