#include "interprocess/controller/IpcLocalSocketController.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <boost/assert.hpp>

#include "interprocess/KindUsers.h"
#include "interprocess/SessionUser.h"
#include "interprocess/controller/LocalSocketPath.h"

namespace interprocess {

namespace {

using helper::ApplicationType;

// How often "No valid socket" is written for one peer.
constexpr std::chrono::milliseconds kNoSocketLogInterval(300000);

// Socket ids, one counter for every controller of the process.
std::atomic<unsigned int> lastSocketId{0};

const char* nameOf(ApplicationType type) {
    const char* name = helper::toString(type);
    return name != nullptr ? name : "None";
}

}  // namespace

IpcLocalSocketController::IpcLocalSocketController(const std::string& name,
                                                   const std::string& installationId,
                                                   common::ITaskScheduler& scheduler,
                                                   IIpcQtSocketPlugin* qt,
                                                   std::unique_ptr<common::ILogger> logger)
    : _installationId(installationId),
      _name(name),
      _scheduler(scheduler),
      _taskQueue(scheduler.createQueue("IpcLocalSocketController")),
      _logger(std::move(logger)),
      _mailbox(std::make_shared<ControllerMailbox>(*_taskQueue)),
      _qt(qt),
      _host(*_logger) {
    _appHostPriorities = {
        {ApplicationType::Attended, 300},
        {ApplicationType::Unattended, 300},
        {ApplicationType::CustomerAttendedApp, 300},
        {ApplicationType::AttendedUi, 400},
        {ApplicationType::UnattendedUi, 400},
        {ApplicationType::CustomerAttendedAppUi, 400},
        {ApplicationType::RemoteControl, 450},
        {ApplicationType::None, 1000},
    };
    BOOST_ASSERT_MSG(qt, "qt should be non-null");
}

IpcLocalSocketController::~IpcLocalSocketController() {
    stop();
}

void IpcLocalSocketController::post(std::function<void()> work, std::chrono::milliseconds delay) {
    _taskQueue->push([work = std::move(work)](bool&, unsigned long) { work(); }, delay, 0);
}

std::string IpcLocalSocketController::socketPath(ApplicationType type) const {
    return LocalSocketPath::forName(KindUsers::peerName(nameOf(type), ::geteuid()), _installationId);
}

std::string IpcLocalSocketController::ownPath() const {
    return LocalSocketPath::forName(KindUsers::ownName(_name, ::geteuid()), _installationId);
}

bool IpcLocalSocketController::start() {
    if (!createServerOnly()) {
        return false;
    }
    post([this] { notify(&IIpcControllerClient::onIpcReady, _name); });
    return true;
}

bool IpcLocalSocketController::createServerOnly() {
    if (isStopped()) {
        return false;
    }
    const ApplicationType own = helper::fromString(_name);
    if (own == ApplicationType::None) {
        _logger->error("'%s' is no application type: not hosting", _name.c_str());
        return false;
    }
    if (_qt == nullptr) {
        _logger->error("no socket plug-in: not hosting");
        return false;
    }
    const std::string path = ownPath();
    _logger->info("%s hosting at %s", _name.c_str(), path.c_str());
    std::weak_ptr<ControllerMailbox> mailbox = _mailbox;
    return _host.host(
        *_qt, path,
        [this, mailbox](IIpcQtSocketPlugin::IpcLocalSocketPtr accepted) {
            const auto box = mailbox.lock();
            if (!box) {
                return;
            }
            // The greeting may follow at once: the socket gets its id and its
            // callbacks here, and is listed by the queue before they report.
            if (!accepted) {
                _logger->warn("connectCallback has an invalid pointer");
                return;
            }
            Socket socket(accepted.release(), accepted.get_deleter());
            socket->setId(++lastSocketId);
            giveCallbacks(*socket);
            box->post(socket->getId(), [this, socket] { onAccepted(socket); });
        },
        kListenWait);
}

void IpcLocalSocketController::giveCallbacks(IIpcLocalSocket& socket) {
    std::weak_ptr<ControllerMailbox> mailbox = _mailbox;
    const auto postTo = [mailbox](unsigned int id, std::function<void()> work) {
        if (const auto box = mailbox.lock()) {
            box->post(id, std::move(work));
        }
    };
    socket.setConnectCallback(
        [this, postTo](IIpcLocalSocket*, const std::string& target, unsigned int id) {
            postTo(id, [this, target, id] { onGreeting(helper::fromString(target), id); });
        });
    // What the peer sends and is not handled yet is bounded: past the bound
    // the socket reads no more from it until the messages are handled here.
    socket.setReadBound(kMaxUnhandledBytes);
    socket.setReadCallback([this, postTo](IIpcLocalSocket* from, const std::string& target,
                                          const std::string& message) {
        const ApplicationType type = helper::fromString(target);
        const unsigned int id = from->getId();
        postTo(id, [this, type, id, message] {
            _logger->trace("got message from %s msg:%s", nameOf(type), message.c_str());
            // Only a link that is up speaks for its peer: not one turned
            // away or closed in the meantime.
            const Socket socket = findSocketById(id);
            if (!socket || socket->isFresh() || type == ApplicationType::None) {
                _logger->warn("Dropping a message from a socket that is not linked, Id: %u", id);
            } else if (!mayStillBe(*socket, type)) {
                _logger->warn("Dropping a message from %s, Id: %u: its user is that kind no more",
                              nameOf(type), id);
                closeFormerSessionLinks();
            } else {
                notify(&IIpcControllerClient::onMessageReceived, type, message);
            }
            if (socket) {
                socket->handled(message.size());
            }
        });
    });
    socket.setWritableCallback(
        [this, postTo](IIpcLocalSocket*, const std::string& target, unsigned int id) {
            const ApplicationType type = helper::fromString(target);
            postTo(id, [this, type] {
                if (_pending.startSending(type)) {
                    flush(type);
                }
            });
        });
    socket.setDisconnectCallback(
        [this, postTo](IIpcLocalSocket*, const std::string& target, unsigned int id) {
            postTo(id, [this, target, id] { onDisconnected(helper::fromString(target), id, true); });
        });
    socket.setErrorCallback(
        [this, postTo](IIpcLocalSocket*, const std::string& target, unsigned int id) {
            postTo(id, [this, target, id] { onError(helper::fromString(target), id); });
        });
}

bool IpcLocalSocketController::mayStillBe(const IIpcLocalSocket& socket,
                                          ApplicationType type) const {
    if (::geteuid() != 0 || !KindUsers::isRunByUsers(type)) {
        return true;
    }
    const auto user = socket.peerUser();
    return user && KindUsers::mayGreet(type, *user, 0);
}

void IpcLocalSocketController::closeFormerSessionLinks() {
    if (::geteuid() != 0) {
        return;
    }
    const uid_t session = SessionUser::current();
    for (const auto& link : _links.linksNotFor(0, session)) {
        _logger->warn("Closing the link to %s of user %ld: that kind runs as user %ld now, Id: %u",
                      nameOf(link.type), static_cast<long>(link.user), static_cast<long>(session),
                      link.id);
        if (removeSocket(link.id)) {
            notify(&IIpcControllerClient::onParticipantDisconnected,
                   std::string(nameOf(link.type)));
        }
    }
}

void IpcLocalSocketController::onGreeting(ApplicationType type, unsigned int id) {
    // The session may have passed to another user since the links were made.
    if (KindUsers::isRunByUsers(type)) {
        closeFormerSessionLinks();
    }
    const Socket socket = findSocketById(id);
    const auto user = socket ? socket->peerUser() : std::nullopt;
    const long shown = user ? static_cast<long>(*user) : -1L;
    if (socket && type != ApplicationType::None &&
        (!user || !KindUsers::mayGreet(type, *user, ::geteuid()))) {
        _logger->warn("Refusing a greeting as %s from user %ld: that kind does not run as that user "
                      "here, Id: %u",
                      nameOf(type), shown, id);
        removeSocket(id);
        return;
    }
    if (socket && type != ApplicationType::None && howToConnect(type) != ConnectMode::Accept) {
        _logger->warn("Refusing a greeting as %s from user %ld: that kind never connects to %s, Id: %u",
                      nameOf(type), shown, _name.c_str(), id);
        removeSocket(id);
        return;
    }
    if (socket && type != ApplicationType::None) {
        if (const auto other = _links.linkedUser(type); other && user && *other != *user) {
            _logger->warn("Refusing a greeting as %s from user %ld: user %ld is linked as %s, Id: %u",
                          nameOf(type), shown, static_cast<long>(*other), nameOf(type), id);
            removeSocket(id);
            return;
        }
    }
    onConnected(type, id);
}

void IpcLocalSocketController::onAccepted(Socket socket) {
    _logger->info("server emitting new socket, Id: %u", socket->getId());
    addSocket(std::move(socket));
}

bool IpcLocalSocketController::send(const ApplicationType& to, const std::string& json) {
    _logger->trace("Send message to %s: %s", nameOf(to), json.c_str());
    if (json.empty()) {
        return false;
    }
    if (json.size() > kMaxMessageBytes) {
        _logger->error("Message to %s too long to send: %d bytes", nameOf(to),
                       static_cast<int>(json.size()));
        notify(&IIpcControllerClient::onMessageNotSent, to, json);
        return false;
    }
    // The user the text is meant for is fixed now, whatever happens later.
    const uid_t self = ::geteuid();
    const uid_t meant = KindUsers::userOf(
        to, self, KindUsers::isRunByUsers(to) && self == 0 ? SessionUser::current() : self);
    const Socket socket = findSocket(to);
    const auto user = socket ? socket->peerUser() : std::nullopt;
    const bool usable = socket && socket->isValid() && !socket->isFresh() && user &&
                        PendingTexts::mayGo(meant, *user);
    if (socket && !socket->isFresh() && user && !PendingTexts::mayGo(meant, *user)) {
        // Linked with a user the kind no longer runs as: the session passed on.
        post([this] { closeFormerSessionLinks(); });
    }
    bool refused = false;
    if (usable) {
        bool kept = false;
        std::size_t size = 0;
        if (_pending.addBehind(to, {json, meant}, kept, size)) {
            _logger->debug("Message to %s waits behind the pending ones", nameOf(to));
            if (!kept) {
                dropped(to, json);
            } else if (size == kPendingWarningSize) {
                _logger->warn("Too many pending message to %s: Size: %d", nameOf(to),
                              static_cast<int>(size));
            }
            if (_pending.startSending(to)) {
                post([this, to] { flush(to); });
            }
            return false;
        }
        _logger->trace("sending data from %s to %s msg:%s", _name.c_str(), nameOf(to),
                       json.c_str());
        if (socket->writeData(json, false)) {
            return true;
        }
        _logger->warn("Failed to send message to %s: %s. Add to pending msgs.", nameOf(to),
                      json.c_str());
        refused = true;
    } else {
        bool log = false;
        {
            std::lock_guard lock(_throttleMutex);
            const auto now = std::chrono::steady_clock::now();
            const auto last = _noSocketLogged.find(to);
            if (last == _noSocketLogged.end() || now - last->second >= kNoSocketLogInterval) {
                _noSocketLogged[to] = now;
                log = true;
            }
        }
        if (log) {
            _logger->warn("No valid socket to %s, cannot send message: %s. Add to pending msgs.",
                          nameOf(to), json.c_str());
        }
    }
    if (!addPendingMessage(to, {json, meant})) {
        dropped(to, json);
    } else if (refused && _pending.startSending(to)) {
        // The room the socket reports may have come back, and been heard
        // of, before the text was kept: it is looked for once more.
        post([this, to] { flush(to); });
    }
    return false;
}

void IpcLocalSocketController::dropped(ApplicationType to, const std::string& json) {
    _logger->error("Dropping a message to %s: its pending messages would exceed %d bytes",
                   nameOf(to), static_cast<int>(kMaxPendingBytes));
    notify(&IIpcControllerClient::onMessageNotSent, to, json);
}

bool IpcLocalSocketController::sendSync(const ApplicationType to, const std::string json) {
    return send(to, json);
}

bool IpcLocalSocketController::addPendingMessage(ApplicationType type, PendingTexts::Text message) {
    std::size_t size = 0;
    if (!_pending.add(type, std::move(message), size)) {
        return false;
    }
    if (size == kPendingWarningSize) {
        _logger->warn("Too many pending message to %s: Size: %d", nameOf(type),
                      static_cast<int>(size));
    }
    return true;
}

void IpcLocalSocketController::connectToService(const std::string& name,
                                                std::function<void(bool)> callback) {
    _logger->debug("%s connectToService %s", _name.c_str(), name.c_str());
    const ApplicationType type = helper::fromString(name);
    _attempts.know(type);
    const Socket socket = findSocket(type);
    if (callback && !(socket && socket->isValid() && !socket->isFresh())) {
        _attempts.await(type, std::move(callback));
        callback = nullptr;
    }
    if (socket && socket->isValid()) {
        if (callback) {
            callback(true);
        }
        return;
    }
    connect(type);
}

void IpcLocalSocketController::connect(ApplicationType type) {
    const std::int64_t delay = _attempts.delay(type);
    _logger->debug("Connect to %s....(delay: %d)", nameOf(type), static_cast<int>(delay));
    if (delay != 0) {
        _logger->debug("Call connect to %s after %d seconds", nameOf(type),
                       static_cast<int>(delay));
        post([this, type] { startConnecting(type); }, delay * _delayUnit);
    } else {
        _logger->debug("Call connect immediately to %s", nameOf(type));
        startConnecting(type);
    }
}

void IpcLocalSocketController::startConnecting(ApplicationType type) {
    _logger->debug("Start connecting to %s....(delay: %d)", nameOf(type),
                   static_cast<int>(_attempts.delay(type)));
    const Socket socket = findSocket(type);
    const ConnectMode mode = howToConnect(type);
    if (!socket) {
        if (mode == ConnectMode::Connect) {
            _logger->info("%s connecting to %s", _name.c_str(), nameOf(type));
            createSocketTo(type);
        } else if (mode == ConnectMode::Equal) {
            _attempts.tell(type, false);
        }
    } else if (!socket->isValid()) {
        if (mode == ConnectMode::Connect) {
            _logger->info("%s reconnecting to %s", _name.c_str(), nameOf(type));
            socket->connect();
        } else if (mode == ConnectMode::Accept) {
            _logger->info("%s needs to connect to us", nameOf(type));
            return;
        } else {
            _attempts.tell(type, false);
        }
    }
    _attempts.advance(type);
}

void IpcLocalSocketController::createSocketTo(ApplicationType type) {
    if (isStopped()) {
        return;
    }
    const std::string path = socketPath(type);
    _logger->info("%s trying to connect to %s at %s", _name.c_str(), nameOf(type), path.c_str());
    if (hasPendingSocket(type)) {
        _logger->warn("%s already has a pending socket to %s", _name.c_str(), nameOf(type));
        return;
    }
    struct stat status {};
    if (::lstat(path.c_str(), &status) == 0 &&
        !KindUsers::mayHost(type, status.st_uid, ::geteuid())) {
        _logger->error("Refusing to connect to %s at %s: the socket belongs to user %u",
                       nameOf(type), path.c_str(), static_cast<unsigned>(status.st_uid));
        _attempts.tell(type, false);
        return;
    }
    // The socket starts connecting at once, before it can be given its id
    // and its error callback: the connect callback knows the id from the
    // start, and an attempt that failed unseen is made once more below.
    const unsigned int id = ++lastSocketId;
    std::weak_ptr<ControllerMailbox> mailbox = _mailbox;
    auto created = _qt->createIpcLocalSocket(
        path, nameOf(type),
        [this, mailbox, id](IIpcLocalSocket*, const std::string& target, unsigned int) {
            const ApplicationType peer = helper::fromString(target);
            if (const auto box = mailbox.lock()) {
                box->post(id, [this, peer, id] { sayHello(peer, id); });
            }
        });
    if (!created) {
        _logger->warn("connectCallback has a nullptr");
        _attempts.tell(type, false);
        return;
    }
    Socket socket(created.release(), created.get_deleter());
    socket->setId(id);
    socket->setErrorCallback(
        [this, mailbox](IIpcLocalSocket*, const std::string& target, unsigned int id) {
            if (const auto box = mailbox.lock()) {
                box->post(id, [this, target, id] { onError(helper::fromString(target), id); });
            }
        });
    addSocket(socket);
    // Does nothing while the socket connects or is connected.
    socket->connect();
}

void IpcLocalSocketController::sayHello(ApplicationType type, unsigned int id) {
    const Socket socket = findSocketById(id);
    if (!socket) {
        _logger->warn("Socket deleted before onconnected for %s", nameOf(type));
        return;
    }
    // From now on the socket reports reads and its end; a connection made
    // again in place greets again.
    giveCallbacks(*socket);
    socket->setConnectCallback([this, box = std::weak_ptr<ControllerMailbox>(_mailbox)](
                                   IIpcLocalSocket*, const std::string& target, unsigned int id) {
        const ApplicationType peer = helper::fromString(target);
        if (const auto open = box.lock()) {
            open->post(id, [this, peer, id] { sayHello(peer, id); });
        }
    });
    // The file's owner was looked at before connecting; the process that
    // answered is what counts.
    const auto user = socket->peerUser();
    if (!user || !KindUsers::mayHost(type, *user, ::geteuid())) {
        _logger->error("Refusing the server of %s at %s: it runs as user %ld",
                       nameOf(type), socketPath(type).c_str(), user ? static_cast<long>(*user) : -1L);
        removeSocket(id);
        _attempts.tell(type, false);
        return;
    }
    _logger->info("Writing hello to server: %s", nameOf(type));
    const bool helloSent = socket->write(_name);
    BOOST_ASSERT_MSG(helloSent, "hello should succeed on fresh socket!");
    (void)helloSent;
    onConnected(type, id);
}

void IpcLocalSocketController::onConnected(ApplicationType type, unsigned int id) {
    const std::size_t pending = _pending.count(type);
    _logger->info("%s onConnected to %s, pending messages: %d, Id: %u", _name.c_str(), nameOf(type),
                  static_cast<int>(pending), id);
    const Socket socket = findSocketById(id);
    if (socket && type == ApplicationType::None) {
        // Whatever greets with no known name is not one of ours.
        _logger->warn("Closing the connection of an unknown peer, Id: %u", id);
        removeSocket(id);
        return;
    }
    if (!socket || !socket->isValid()) {
        _logger->warn("Socket deleted before onconnected for %s", nameOf(type));
        return;
    }
    socket->takeFresh();
    _attempts.reset(type);
    // What waited goes out before anyone hears of the link: a text sent on
    // hearing of it then goes straight out, behind what waited.
    if (_pending.startSending(type)) {
        flush(type);
    }
    notify(&IIpcControllerClient::onParticipantConnected, std::string(nameOf(type)));
    _attempts.tell(type, true);
}

void IpcLocalSocketController::flush(ApplicationType type) {
    for (;;) {
        const Socket socket = findSocket(type);
        const auto user = socket && socket->isValid() && !socket->isFresh()
                              ? socket->peerUser()
                              : std::nullopt;
        // Without a link the texts stay for the next one; only what is meant
        // for the linked user (or that root may read) goes out.
        if (!user) {
            _pending.endSending(type);
            return;
        }
        std::vector<PendingTexts::Text> texts = _pending.take(type, *user);
        if (texts.empty()) {
            return;
        }
        std::size_t sent = 0;
        for (; sent < texts.size(); ++sent) {
            _logger->debug("Sending pending message to %s: %s", nameOf(type),
                           texts[sent].text.c_str());
            if (!socket->isValid() || !socket->writeData(texts[sent].text, false)) {
                break;
            }
        }
        if (sent < texts.size()) {
            // What did not go out goes back in front, in its order.
            texts.erase(texts.begin(), texts.begin() + static_cast<std::ptrdiff_t>(sent));
            const std::size_t kept = _pending.putBack(type, std::move(texts));
            _logger->warn("Failed to send pending messages to %s, %d kept", nameOf(type),
                          static_cast<int>(kept));
            return;
        }
    }
}

void IpcLocalSocketController::onDisconnected(ApplicationType type, unsigned int id,
                                              bool notifyObservers) {
    _logger->info("onDisconnected from %s, Id: %u", nameOf(type), id);
    const Socket socket = findSocketById(id);
    const bool wasUp = socket && !socket->isFresh();
    if (!removeSocket(id)) {
        _logger->warn("Socket to %s with id: %u has already been deleted", nameOf(type), id);
        return;
    }
    if (!wasUp) {
        _attempts.tell(type, false);
    }
    if (notifyObservers && type != ApplicationType::None) {
        notify(&IIpcControllerClient::onParticipantDisconnected, std::string(nameOf(type)));
    }
}

void IpcLocalSocketController::onError(ApplicationType type, unsigned int id) {
    _logger->warn("Error happened on socket to %s, Id: %u", nameOf(type), id);
    onDisconnected(type, id, true);
}

void IpcLocalSocketController::disconnectApplication(const ApplicationType& peer, bool close) {
    _logger->debug("disconnectApplication");
    if (!close) {
        _logger->info("Not disconnecting IPC now");
        return;
    }
    const std::vector<unsigned int> ids = _links.idsOf(peer);
    if (ids.empty()) {
        _logger->info("No socket to %s to close", nameOf(peer));
        return;
    }
    for (const unsigned int id : ids) {
        _logger->info("Closing the socket to %s, Id: %u", nameOf(peer), id);
        removeSocket(id);
    }
    notify(&IIpcControllerClient::onParticipantDisconnected, std::string(nameOf(peer)));
}

void IpcLocalSocketController::disconnect() {
    _logger->info("disconnect");
    _links.clearCallbacks();
    _host.close();
}

bool IpcLocalSocketController::stop() {
    _logger->info("stopping ipc");
    if (isStopped()) {
        return false;
    }
    // No Qt callback reaches the controller after this.
    _mailbox->close();
    disconnect();
    _links.close();
    _host.release();
    _taskQueue->finish(
        [queue = _taskQueue.get()](bool&, unsigned long) { queue->setDebugAssertOnNextPush(); },
        true);
    markStopped();
    return true;
}

IpcLocalSocketController::ConnectMode IpcLocalSocketController::howToConnect(
    ApplicationType peer) const {
    const ApplicationType myType = helper::fromString(_name);
    BOOST_ASSERT_MSG(myType != ApplicationType::None, "should be a valid application name string");
    const auto mine = _appHostPriorities.find(myType);
    const auto theirs = _appHostPriorities.find(peer);
    if (mine == _appHostPriorities.end() || theirs == _appHostPriorities.end() ||
        myType == ApplicationType::None) {
        // Kinds without a place in the table link with nobody by themselves.
        return ConnectMode::Equal;
    }
    if (mine->second == theirs->second) {
        return ConnectMode::Equal;
    }
    return mine->second > theirs->second ? ConnectMode::Connect : ConnectMode::Accept;
}

}  // namespace interprocess
