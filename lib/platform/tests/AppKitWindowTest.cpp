#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "platform/appkit/Alert.h"
#include "platform/appkit/Application.h"
#include "platform/appkit/Window.h"
#include "platform/dispatch/MainQueue.h"
#include "support/ChildProcess.h"
#include "support/LoopRunner.h"
#include "support/TempDir.h"

using platform::appkit::Alert;
using platform::appkit::Application;
using platform::appkit::ApplicationDelegate;
using platform::appkit::Window;
using platform::dispatch::asyncMain;

namespace {

using namespace std::chrono_literals;

// Every scenario runs in a child: windows and the terminal are process-wide.
// Its standard error (the drawing) goes to a file, its standard input comes
// from a pipe whose write end the scenario gets.
struct Drawn {
    testsupport::ChildResult result;
    std::vector<std::string> lines;
};

Drawn drawnBy(const std::function<int(int input)>& scenario) {
    testsupport::TempDir folder("appkit-window");
    const std::string drawing = folder.file("stderr.txt");
    Drawn drawn;
    drawn.result = testsupport::runInChild(
        [&] {
            int pipeFds[2];
            const int file = ::open(drawing.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            if (file < 0 || ::pipe(pipeFds) != 0 || ::dup2(file, STDERR_FILENO) < 0 ||
                ::dup2(pipeFds[0], STDIN_FILENO) < 0) {
                return 90;
            }
            return scenario(pipeFds[1]);
        },
        20s);
    drawn.lines = testsupport::splitLines(testsupport::readFile(drawing));
    return drawn;
}

void writeAll(int fd, const std::string& text) {
    ASSERT_EQ(static_cast<ssize_t>(text.size()), ::write(fd, text.data(), text.size()));
}

class RecordingDelegate : public ApplicationDelegate {
public:
    bool applicationShouldTerminateAfterLastWindowClosed() override {
        ++asked;
        Application::shared().stop();
        return terminate;
    }
    void applicationInputDidEnd() override { ++inputEnded; }
    int asked = 0;
    bool terminate = false;
    int inputEnded = 0;
};

TEST(AppKitWindowTest, ChangesAreDrawnOneLinePerRowWhenTheWindowDisplays) {
    const auto drawn = drawnBy([](int) {
        Window window;
        window.setTitle("Setup \"beta\"\\\r\nnext");
        window.progressText().setStringValue("Step");
        window.progressIndicator().setMaxValue(4);
        window.progressIndicator().setMinValue(0);
        window.progressIndicator().setDoubleValue(1);
        window.button().setEnabled(false);
        window.button().setTitle("Cancel");
        window.displayIfNeeded();
        window.displayIfNeeded();  // nothing changed since
        window.progressIndicator().setDoubleValue(2.5);
        window.makeKeyAndOrderFront();
        window.makeKeyAndOrderFront();  // already shown
        window.button().setEnabled(true);
        window.performClose(nullptr);
        window.performClose(nullptr);  // already closed
        window.setTitle("late");
        window.displayIfNeeded();
        return 0;
    });
    EXPECT_EQ(0, drawn.result.exitCode);
    EXPECT_EQ(
        (std::vector<std::string>{
            "window: title \"Setup \\\"beta\\\"\\\\\\r\\nnext\"", "window: progress \"Step\" 1/4",
            "window: button \"Cancel\" disabled", "window: progress \"Step\" 2.5/4",
            "window: shown", "window: button \"Cancel\" enabled", "window: closed"}),
        drawn.lines);
}

// The end of input presses nothing: it is told to the delegate, once.
TEST(AppKitWindowTest, ALinePressesTheEnabledButtonAndTheEndOfInputPressesNothing) {
    const auto drawn = drawnBy([](int input) {
        RecordingDelegate delegate;
        Application::shared().setDelegate(&delegate);
        Window window;
        window.makeKeyAndOrderFront();
        int presses = 0;
        window.button().setAction([&](platform::appkit::Button* sender) {
            presses += sender == &window.button() ? 1 : 100;
            if (presses == 2) {
                window.button().setEnabled(false);
                asyncMain([] { Application::shared().stop(); });
            }
        });
        writeAll(input, "one\ntwo\nthree\n");
        if (!looptest::runLoop(5s)) {
            return 91;
        }
        // The third line found the button disabled; the end of input is
        // no press either.
        if (delegate.inputEnded != 0) {
            return 94;
        }
        ::close(input);
        if (looptest::runLoop(200ms)) {
            return 92;
        }
        window.button().setEnabled(true);
        const bool told = delegate.inputEnded == 1;
        Application::shared().setDelegate(nullptr);
        return presses == 2 && window.isOpen() && told ? 0 : 93;
    });
    EXPECT_TRUE(drawn.result.exited);
    EXPECT_EQ(0, drawn.result.exitCode);
}

TEST(AppKitWindowTest, ClosingSignalClosesTheKeyWindowAndTheDelegateIsAskedAfterwards) {
    const auto drawn = drawnBy([](int) {
        RecordingDelegate delegate;
        Application::shared().setDelegate(&delegate);
        Window window;
        window.makeKeyAndOrderFront();
        asyncMain([] { ::kill(::getpid(), SIGTERM); });
        if (!looptest::runLoop(5s) || delegate.asked != 1 || window.isOpen()) {
            return 91;
        }
        // With the window gone the signal ends the process again.
        ::kill(::getpid(), SIGHUP);
        return 92;
    });
    EXPECT_EQ(SIGHUP, drawn.result.signal);
    EXPECT_EQ((std::vector<std::string>{"window: shown", "window: closed"}), drawn.lines);
}

TEST(AppKitWindowTest, TheProcessEndsAfterTheLastWindowClosedWhenTheDelegateAgrees) {
    const auto drawn = drawnBy([](int input) {
        RecordingDelegate delegate;
        delegate.terminate = true;
        Application::shared().setDelegate(&delegate);
        Window first;
        Window second;
        second.makeKeyAndOrderFront();
        // The line goes to the key window; closing the other leaves one open.
        second.button().setAction([&](platform::appkit::Button*) { first.performClose(nullptr); });
        writeAll(input, "\n");
        asyncMain([&] {
            asyncMain([&] {
                if (delegate.asked == 0 && !first.isOpen() && second.isOpen()) {
                    second.performClose(nullptr);
                }
            });
        });
        looptest::runLoop(5s);
        return 91;
    });
    EXPECT_TRUE(drawn.result.exited);
    EXPECT_EQ(0, drawn.result.exitCode);
    EXPECT_EQ((std::vector<std::string>{"window: shown", "window: closed", "window: closed"}),
              drawn.lines);
}

TEST(AppKitWindowTest, AlertWithoutATerminalReturnsAtOnce) {
    const auto drawn = drawnBy([](int) {
        Alert alert;
        alert.setMessageText("Cannot install");
        alert.setInformativeText("The key is missing.");
        alert.addButton("OK");
        alert.addButton("More");
        const int first = alert.runModal();
        Alert plain;
        return first == Alert::kFirstButtonReturn && plain.runModal() == Alert::kFirstButtonReturn
                   ? 0
                   : 91;
    });
    EXPECT_EQ(0, drawn.result.exitCode);
    EXPECT_EQ((std::vector<std::string>{
                  "alert: \"Cannot install\" \"The key is missing.\" [\"OK\", \"More\"]",
                  "alert: \"\" \"\" [\"OK\"]"}),
              drawn.lines);
}

// Standard input becomes a terminal; returns its other end.
int terminalOnStandardInput() {
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) {
        return -1;
    }
    const int slave = ::open(::ptsname(master), O_RDWR | O_NOCTTY);
    if (slave < 0 || ::dup2(slave, STDIN_FILENO) < 0) {
        return -1;
    }
    return master;
}

TEST(AppKitWindowTest, AlertOnATerminalWaitsForALineOrAClosingSignal) {
    const auto drawn = drawnBy([](int) {
        const int terminal = terminalOnStandardInput();
        if (terminal < 0) {
            return 90;
        }
        Window window;  // a signal during the alert leaves the window alone
        window.makeKeyAndOrderFront();
        bool pressed = false;
        window.button().setAction([&](platform::appkit::Button*) { pressed = true; });
        const auto started = std::chrono::steady_clock::now();
        std::thread user([terminal] {
            std::this_thread::sleep_for(100ms);
            if (::write(terminal, "\n", 1) != 1) {
                std::abort();
            }
        });
        Alert alert;
        alert.setMessageText("first");
        alert.runModal();
        user.join();
        if (std::chrono::steady_clock::now() - started < 100ms || pressed) {
            return 91;
        }
        asyncMain([] { ::kill(::getpid(), SIGINT); });
        Alert second;
        second.setMessageText("second");
        second.runModal();
        return window.isOpen() && !pressed ? 0 : 92;
    });
    EXPECT_EQ(0, drawn.result.exitCode);
    EXPECT_EQ((std::vector<std::string>{"window: shown", "alert: \"first\" \"\" [\"OK\"]",
                                        "alert: \"second\" \"\" [\"OK\"]", "window: closed"}),
              drawn.lines);
}

}  // namespace
