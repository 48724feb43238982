#include "platform/appkit/Alert.h"

#include <unistd.h>

#include "platform/appkit/Application.h"
#include "platform/appkit/TextDrawing.h"

namespace platform::appkit {

int Alert::runModal() {
    const std::vector<std::string> buttons =
        _buttons.empty() ? std::vector<std::string>{"OK"} : _buttons;
    std::string line = "alert: " + quoted(_message) + " " + quoted(_informative) + " [";
    for (std::size_t i = 0; i < buttons.size(); ++i) {
        line += (i == 0 ? "" : ", ") + quoted(buttons[i]);
    }
    line += "]";
    drawLine(line);

    if (::isatty(STDIN_FILENO) == 1) {
        auto& application = Application::shared();
        application.beginTerminalSession();
        application.runModal();
        application.endTerminalSession();
    }
    return kFirstButtonReturn;
}

}  // namespace platform::appkit
