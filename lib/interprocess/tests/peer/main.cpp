// ipc-peer: the other process of the inter-process tests. Commands come one
// a line on standard input, events go one a line to standard output:
//   link <prefix> <name> [refuse]  a polled asynchronous data link ("ready" or
//                                  "failed"); "refuse" takes no sync record
//   send <to> <payload>            through that link: "sent 1|0"
//   controller|sockets <prefix> <name> [unit ms]
//                                  the framework's controller over message
//                                  queues or local sockets: "started 1|0"
//   to|tosync <Type> <text>, connect <name>, drop <Type> [close], unlisten,
//   stop                           its send, sendSync, connectToService,
//                                  disconnectApplication, disconnect, stop
//   session <uid>                  names the local session's user: "session"
//                                  (root, that is none, until it is named)
//   collide <queue> <count>        makes <count> empty files under names of
//                                  its own user's inboxes of <queue> that fall
//                                  in one bucket of a set of as many names, as
//                                  this process hashes them: "collided <made>
//                                  <the most a look-up here walks>"
// Events: "message|syncmessage <from> <link message>", "listening|connected|
// disconnected <name>", "received|syncreceived <Type> <text>", "notsent <Type>
// <bytes>", and the Qt
// platform's ">>creating a socket:<path>".

#include <csignal>
#include <cstdio>
#include <iostream>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "../CollidingNames.h"
#include "ToolUsage.h"
#include "QtCorePlatform.h"
#include "common/application/Application.h"
#include "common/credentialstorage/ICredentialStorage.h"
#include "common/params/CommandLineParams.h"
#include "common/params/Params.h"
#include "common/taskscheduler/TaskSchedulerMac.h"
#include "helper/ApplicationType.h"
#include "interprocess/AsynchronousDataLink.h"
#include "interprocess/DataLink.h"
#include "interprocess/JsonSerialization.h"
#include "interprocess/SessionUser.h"
#include "interprocess/controller/IpcLocalSocketController.h"

namespace {

std::mutex outputMutex;

// One event line, written whole and flushed.
void emit(const std::string& line) {
    const std::string whole = line + "\n";
    std::lock_guard<std::mutex> lock(outputMutex);
    std::fwrite(whole.data(), 1, whole.size(), stdout);
    std::fflush(stdout);
}

// The Qt platform wants a credential store; no proxy is ever asked for here.
class NoCredentials : public common::credentialstorage::ICredentialStorage {
public:
    bool store(const std::wstring&, const std::wstring&, const std::wstring&) override { return false; }
    bool load(const std::wstring&, std::wstring&, std::wstring&) override { return false; }
};

std::string encode(const interprocess::protocol::Command& command) {
    std::string text;
    interprocess::json_serialize(command, text);
    return text;
}

// The smallest application: only its controller factory is used.
class PeerApplication : public common::Application {
public:
    using common::Application::Application;
    bool init() override { return true; }
};

// Runs the commands and reports what its link and controller tell it.
class Peer : public interprocess::IAsynchronousDataLinkClient,
             public interprocess::IIpcControllerClient {
public:
    explicit Peer(common::ITaskScheduler& scheduler) : scheduler_(scheduler) {}

    ~Peer() override {
        if (controller_) {
            controller_->removeObserver(this);
            controller_->stop();
            controller_.reset();
        }
        if (asyncLink_) {
            asyncLink_->removeObserver(this);
        }
    }

    void onDataLinkMessage(const std::string from, bool,
                           const interprocess::protocol::Command message) override {
        emit("message " + from + " " + encode(message));
    }
    void onDataLinkSyncMessage(const std::string from, bool,
                               const interprocess::protocol::Command message,
                               bool& taken) override {
        emit("syncmessage " + from + " " + encode(message));
        taken = taken || !refuse_;
    }
    void onIpcReady(const std::string name) override { emit("listening " + name); }
    void onParticipantConnected(const std::string name) override { emit("connected " + name); }
    void onParticipantDisconnected(const std::string name) override { emit("disconnected " + name); }
    void onMessageReceived(const helper::ApplicationType from, const std::string json) override {
        emit(std::string("received ") + helper::toString(from) + " " + json);
    }
    void onSyncMessageReceived(const helper::ApplicationType from,
                               const std::string json) override {
        emit(std::string("syncreceived ") + helper::toString(from) + " " + json);
    }
    void onMessageNotSent(const helper::ApplicationType to, const std::string json) override {
        emit(std::string("notsent ") + helper::toString(to) + " " + std::to_string(json.size()));
    }

    // Runs one command line; false for "quit".
    bool run(const std::string& line) {
        std::istringstream words(line);
        std::string verb;
        words >> verb;
        if (verb == "quit") {
            return false;
        }
        if (verb == "session") {
            uid_t user = 0;
            words >> user;
            interprocess::SessionUser::setSource([user] { return user; });
            emit("session");
        } else if (verb == "collide") {
            std::string queue;
            std::size_t count = 0;
            words >> queue >> count;
            const auto names = interprocesstest::collidingNames(
                interprocess::UserInboxes::prefixFor(queue, ::geteuid()), count);
            emit("collided " + std::to_string(interprocesstest::makeEmptyFiles(names)) + " " +
                 std::to_string(interprocesstest::longestWalkOf(names)));
        } else if (verb == "link") {
            std::string prefix, name, option;
            words >> prefix >> name >> option;
            emit(startLink(prefix, name, option == "refuse"));
        } else if (verb == "send") {
            std::string to, text;
            words >> to;
            std::getline(words >> std::ws, text);
            send(to, text);
        } else if (!controller_ && verb != "controller" && verb != "sockets") {
            emit("unknown " + line);
        } else {
            std::string first, rest;
            words >> first;
            std::getline(words >> std::ws, rest);
            runController(verb, first, rest);
        }
        return true;
    }

private:
    std::string startLink(const std::string& prefix, const std::string& name, bool refuse) {
        refuse_ = refuse;
        asyncLink_ = interprocess::AsynchronousDataLink::create(
            interprocess::DataLink::create(prefix, name),
            scheduler_.createQueue("AsynchronousDataLink"));
        asyncLink_->addObserver(this);
        return asyncLink_->init() ? "ready" : "failed";
    }

    void runController(const std::string& verb, const std::string& first, const std::string& rest) {
        if (verb == "controller" || verb == "sockets") {
            if (controller_) {
                emit("started 0");
                return;
            }
            const bool sockets = verb == "sockets";
            const std::vector<std::string> arguments = {"ipc-peer", "-InstallationId", first,
                                                        "-IpcOverLocalSocket", sockets ? "1" : "0"};
            params_.addLayer(std::make_unique<common::CommandLineParams>(arguments), 2, true);
            application_ = std::make_unique<PeerApplication>(arguments, params_);
            std::istringstream words(rest);
            std::string name;
            long unitMs = 0;
            words >> name >> unitMs;
            if (sockets) {
                platform_ = QtCorePlatform::create(scheduler_, &credentials_, "ipc-peer");
            }
            controller_ = application_->createIpcController(scheduler_, platform_.get(), name);
            auto* overSockets =
                dynamic_cast<interprocess::IpcLocalSocketController*>(controller_.get());
            if (overSockets != nullptr && unitMs > 0) {
                overSockets->setReconnectDelayUnit(std::chrono::milliseconds(unitMs));
            }
            if (!controller_) {
                emit("started 0");
                return;
            }
            controller_->addObserver(this);
            emit(controller_->start() ? "started 1" : "started 0");
        } else if (verb == "to") {
            emit(controller_->send(helper::fromString(first), rest) ? "to 1" : "to 0");
        } else if (verb == "tosync") {
            emit(controller_->sendSync(helper::fromString(first), rest) ? "tosync 1" : "tosync 0");
        } else if (verb == "connect") {
            controller_->connectToService(
                first, [first](bool ok) { emit("connect " + first + (ok ? " 1" : " 0")); });
        } else if (verb == "drop") {
            controller_->disconnectApplication(helper::fromString(first), rest == "close");
        } else if (verb == "unlisten") {
            controller_->disconnect();
        } else if (verb == "stop") {
            emit(controller_->stop() ? "stop 1" : "stop 0");
        } else {
            emit("unknown " + verb);
        }
    }

    void send(const std::string& to, const std::string& text) {
        if (!asyncLink_) {
            emit("sent 0");
            return;
        }
        asyncLink_->send(to, text, [](bool ok) { emit(ok ? "sent 1" : "sent 0"); }, false, false);
    }

    common::ITaskScheduler& scheduler_;
    common::Params params_;
    NoCredentials credentials_;
    std::unique_ptr<QtCorePlatform> platform_;
    std::unique_ptr<common::IApplication> application_;
    std::unique_ptr<interprocess::IIpcController> controller_;
    bool refuse_ = false;
    std::shared_ptr<interprocess::AsynchronousDataLink> asyncLink_;
};

}  // namespace

int main(int argc, char** argv) {
    const toolsupport::ToolUsage usage(
        argc > 0 ? argv[0] : "ipc-peer", "",
        "The other process of the inter-process tests: reads commands, one a line, on standard\n"
        "input and writes events, one a line, on standard output (see its source).\n"
        "Exit status: 0 at the end of input or after \"quit\"; 64 a wrong command line.\n");
    if (usage.helpRequested(argc, argv)) {
        return 0;
    }
    if (argc > 1) {
        return usage.refuse(std::string("takes no arguments, not '") + argv[1] + "'");
    }
    std::signal(SIGPIPE, SIG_IGN);
    // Whatever machine the tests run on.
    interprocess::SessionUser::setSource([] { return uid_t{0}; });
    auto scheduler = common::TaskSchedulerMac::create(std::chrono::milliseconds(10),
                                                      common::createLogger("TaskScheduler"));
    auto peer = std::make_unique<Peer>(*scheduler);
    auto commands = scheduler->createQueue("Peer");

    // Reads the commands on a thread of its own and hands each to the
    // scheduler's thread; the end of input is a "quit".
    std::thread reader([&commands, &peer, &scheduler] {
        std::string line;
        while (std::getline(std::cin, line)) {
            commands->push([&peer, &scheduler, line](bool&, unsigned long) {
                if (!peer->run(line)) {
                    scheduler->stop();
                }
            });
            if (line == "quit") {
                return;
            }
        }
        commands->push([&scheduler](bool&, unsigned long) { scheduler->stop(); });
    });
    scheduler->run();
    reader.detach();
    peer.reset();
    emit("bye");
    std::_Exit(0);
}
