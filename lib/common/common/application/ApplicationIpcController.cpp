// Application::createIpcController, kept apart because it is the framework's
// one tie to the inter-process layer.
//
// That layer is not part of the build yet. Returning a
// std::unique_ptr<interprocess::IIpcController> needs the class complete, so
// this file alone declares the controller interface with nothing but its
// destructor. When the inter-process layer arrives, this declaration must go
// and the file must include that layer's header and build its controllers.

#include "common/application/Application.h"
#include "common/logging/ILogger.h"
#include "common/params/IParams.h"

namespace interprocess {
class IIpcController {
public:
    virtual ~IIpcController() = default;
};
}  // namespace interprocess

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
