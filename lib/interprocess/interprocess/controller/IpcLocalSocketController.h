#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "IIpcQtSocketPlugin.h"
#include "common/logging/ILogger.h"
#include "common/taskscheduler/ITaskQueue.h"
#include "common/taskscheduler/ITaskScheduler.h"
#include "interprocess/IIpcController.h"
#include "interprocess/controller/ControllerMailbox.h"
#include "interprocess/controller/LinkAttempts.h"
#include "interprocess/controller/LocalSocketLinks.h"
#include "interprocess/controller/LocalSocketHost.h"
#include "interprocess/controller/PendingTexts.h"

namespace interprocess {

// The controller over local sockets of the Qt platform: the process hosts one
// server at "/var/tmp/<own type>_<installation id>" (the type's name with the
// user for a kind users run) and opens client sockets to the servers of its
// peers; which side of a pair connects follows the priorities of the two
// kinds. A client greets the server with its own kind's name. Texts for a
// peer without a usable socket, or whose socket has no room, wait in order,
// kMaxPendingBytes at most, and go out once it connects or has room again; a
// text that cannot be kept is told to the observers (onMessageNotSent)
// before send returns.
//
// Who is who comes from the kernel: a server refuses a greeting that claims a
// kind its peer's user may not be, or a kind that another user is linked
// as; a client connects only to a server of a user that may be the peer;
// a waiting text goes only to the user it was meant for. When the local
// session passes to another user, a root process closes the links of the
// former session user's processes as it sees them (a greeting, a message
// from or to such a kind), so that the new one's may link. The table is
// KindUsers'. Of servers of the same kind and installation id, the one that
// holds the path's lock hosts (LocalSocketHost).
//
// The Qt thread only posts to the controller's queue, through a mailbox that
// takes the sockets' reports in turn: sockets are added, looked at and
// removed, and observers told, on the scheduler's thread. A peer's messages
// read and not yet handled are bounded (kMaxUnhandledBytes).
class IpcLocalSocketController : public IIpcController {
public:
    enum class ConnectMode { Accept = 0, Connect = 1, Equal = 2 };

    // The pending list of a peer warns once when it reaches this size.
    static constexpr std::size_t kPendingWarningSize = PendingTexts::kWarningSize;
    // The longest delay between two connection attempts, in delay units.
    static constexpr std::int64_t kMaxReconnectDelay = LinkAttempts::kMaxDelay;
    // The longest text sent: its frame fits what every reader accepts.
    static constexpr std::size_t kMaxMessageBytes = 8u * 1024u * 1024u;
    // The most bytes of messages that wait for one peer; past it a message
    // is dropped, the drop logged and told.
    static constexpr std::size_t kMaxPendingBytes = PendingTexts::kMaxBytes;
    // The most bytes of a peer's messages read and not yet handled: past it
    // its socket reads no more until they are (see IIpcLocalSocket).
    static constexpr std::size_t kMaxUnhandledBytes = 1024u * 1024u;
    // The most reports of the Qt thread handled by one task.
    static constexpr std::size_t kMailboxBatch = ControllerMailbox::kBatch;
    // How long start waits for the own server to listen.
    static constexpr std::chrono::milliseconds kListenWait{3000};

    IpcLocalSocketController(const std::string& name, const std::string& installationId,
                             common::ITaskScheduler& scheduler, IIpcQtSocketPlugin* qt,
                             std::unique_ptr<common::ILogger> logger);
    ~IpcLocalSocketController() override;
    IpcLocalSocketController(const IpcLocalSocketController&) = delete;
    IpcLocalSocketController& operator=(const IpcLocalSocketController&) = delete;

    // False when the own kind has no name, or the own server cannot listen.
    bool start() override;
    bool send(const helper::ApplicationType& to, const std::string& json) override;
    // The callback is told true once a link to the peer is up, false when
    // this side's attempt failed or neither side connects to the other.
    void connectToService(const std::string& name, std::function<void(bool)> callback) override;
    // With `close`, closes every socket to the peer.
    void disconnectApplication(const helper::ApplicationType& peer, bool close) override;
    bool sendSync(const helper::ApplicationType to, const std::string json) override;
    void disconnect() override;
    bool stop() override;

    ConnectMode howToConnect(helper::ApplicationType peer) const;
    // Where the server of the peer of that kind that this process links
    // with listens: "/var/tmp/<Kind>_<installation id>", the kind's name
    // with its user for a kind users run (KindUsers).
    std::string socketPath(helper::ApplicationType type) const;
    // Where the own server listens.
    std::string ownPath() const;

    // The length of one step of the reconnect delays, a second by default.
    void setReconnectDelayUnit(std::chrono::milliseconds unit) { _delayUnit = unit; }

private:
    using Socket = LocalSocketLinks::Socket;

    bool createServerOnly();
    void onAccepted(Socket socket);
    // An accepted socket's greeting: refused unless its user may run the kind.
    void onGreeting(helper::ApplicationType type, unsigned int id);
    // Whether the user of the socket linked as `type` may still be that kind:
    // for a root process, the local session may have passed to another user.
    bool mayStillBe(const IIpcLocalSocket& socket, helper::ApplicationType type) const;
    // Closes, and logs, the links of kinds users run whose user may no
    // longer be their kind.
    void closeFormerSessionLinks();
    void createSocketTo(helper::ApplicationType type);
    void connect(helper::ApplicationType type);
    void startConnecting(helper::ApplicationType type);
    void sayHello(helper::ApplicationType type, unsigned int id);
    void onConnected(helper::ApplicationType type, unsigned int id);
    void onDisconnected(helper::ApplicationType type, unsigned int id, bool notify);
    void onError(helper::ApplicationType type, unsigned int id);
    void flush(helper::ApplicationType type);
    void post(std::function<void()> work, std::chrono::milliseconds delay = {});
    void giveCallbacks(IIpcLocalSocket& socket);

    Socket findSocket(helper::ApplicationType type) const { return _links.find(type); }
    Socket findSocketById(unsigned int id) const { return _links.findById(id); }
    bool hasPendingSocket(helper::ApplicationType type) const { return _links.hasPending(type); }
    void addSocket(Socket socket) { _links.add(std::move(socket)); }
    bool removeSocket(unsigned int id) { return _links.remove(id); }
    // False, and nothing kept, when the peer's list would pass kMaxPendingBytes.
    bool addPendingMessage(helper::ApplicationType type, PendingTexts::Text message);
    // A text that cannot be kept.
    void dropped(helper::ApplicationType to, const std::string& json);

    PendingTexts _pending;
    std::map<helper::ApplicationType, std::int32_t> _appHostPriorities;
    std::string _installationId;
    std::string _name;
    common::ITaskScheduler& _scheduler;
    std::unique_ptr<common::ITaskQueue> _taskQueue;
    std::unique_ptr<common::ILogger> _logger;
    // What the Qt thread's callbacks reach the controller through: they post
    // to the queue while the controller runs, and do nothing once it stops.
    std::shared_ptr<ControllerMailbox> _mailbox;
    IIpcQtSocketPlugin* _qt;
    LocalSocketHost _host;
    LocalSocketLinks _links;
    // Guards the throttle below.
    std::mutex _throttleMutex;
    LinkAttempts _attempts;
    // When "No valid socket" was last written for each peer.
    std::map<helper::ApplicationType, std::chrono::steady_clock::time_point> _noSocketLogged;
    std::chrono::milliseconds _delayUnit{1000};
};

}  // namespace interprocess
