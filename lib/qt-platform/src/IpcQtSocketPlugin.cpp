#include "IpcQtSocketPlugin.h"

#include <boost/assert.hpp>

#include "IpcLocalServer.h"
#include "IpcLocalSocket.h"

void IpcQtSocketPlugin::initThread(QThread* mainThread) {
    BOOST_ASSERT_MSG(_mainThread == nullptr || mainThread == _mainThread,
                     "invalid thread initialization");
    _mainThread = mainThread;
}

IIpcQtSocketPlugin::IpcLocalSocketPtr IpcQtSocketPlugin::createIpcLocalSocket(
    const std::string& socketName, const std::string& targetName,
    IIpcLocalSocket::SocketConnectCallback connectCallback) const {
    BOOST_ASSERT_MSG(_mainThread, "createIpcLocalSocket should be created in a real thread");
    return IpcLocalSocket::makeHandle(
        new IpcLocalSocket(socketName, targetName, _mainThread, std::move(connectCallback)));
}

IIpcQtSocketPlugin::IpcLocalServerPtr IpcQtSocketPlugin::createIpcLocalServer(
    const std::string& name, ServerConnectCallback connectCallback) const {
    BOOST_ASSERT_MSG(_mainThread, "createIpcLocalServer should be created in a real thread");
    return IpcLocalServerPtr(new IpcLocalServer(name, _mainThread, std::move(connectCallback)),
                             [](IIpcLocalServer* server) {
                                 if (server != nullptr) {
                                     server->requestDelete();
                                 }
                             });
}
