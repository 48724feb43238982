// The inter-process controllers are built by the inter-process library, which
// links over message queues or local sockets; until it is part of the build,
// asking for a controller is reported and yields none.
#include "common/application/Application.h"
#include "common/logging/ILogger.h"
#include "common/params/IParams.h"

namespace common {

std::unique_ptr<interprocess::IIpcController> Application::createIpcController(
    ITaskScheduler& /*scheduler*/, IIpcQtSocketPlugin* /*plugin*/, const std::string& name) {
    const std::string installationId = params().getValue("InstallationId", "");
    const bool overLocalSocket = params().get<bool>("IpcOverLocalSocket", true);
    createLogger("Application")
        ->error("No inter-process controller available for %s (installation '%s', %s)",
                name.c_str(), installationId.c_str(),
                overLocalSocket ? "local sockets" : "message queues");
    return nullptr;
}

}  // namespace common
