// Application::createIpcController, kept apart because it is the framework's
// one tie to the inter-process layer, whose controllers are not part of the
// build yet: asking for one is reported and yields none.

#include "common/application/Application.h"
#include "common/logging/ILogger.h"
#include "common/params/IParams.h"
#include "interprocess/IIpcController.h"

namespace common {

std::unique_ptr<interprocess::IIpcController> Application::createIpcController(
    ITaskScheduler& /*scheduler*/, IIpcQtSocketPlugin* /*plugin*/, const std::string& name) {
    const std::string installationId = params_.getValue("InstallationId", "");
    const bool overLocalSocket = params_.get<bool>("IpcOverLocalSocket", true);
    createLogger("Application")
        ->error("cannot create %s for '%s' (installation '%s'): no inter-process layer",
                overLocalSocket ? "IpcLocalSocketController" : "IpcController", name.c_str(),
                installationId.c_str());
    return nullptr;
}

}  // namespace common
