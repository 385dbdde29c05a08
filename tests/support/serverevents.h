#pragma once

// What a server tells, recorded as it was told: what the tests of the socket
// layer share.
#include "platform/tcpserver.h"
#include "support/rawsocket.h"

#include <QCoreApplication>
#include <QList>
#include <QObject>
#include <QThread>

#include <functional>
#include <vector>

namespace serverevents {

using platform::ConnectionPtr;
using platform::TcpServer;

// A student computer at the other end.
using Client = RawSocket;

// Everything the server tells, as it was told.
struct Recorder
{
    explicit Recorder(TcpServer &server)
    {
        QObject::connect(&server, &TcpServer::clientConnect, &server,
                         [this](const ConnectionPtr &c) {
                             onUiThread = onUiThread
                                          && QThread::currentThread()
                                                     == QCoreApplication::instance()->thread();
                             accepted.push_back(c);
                         });
        QObject::connect(&server, &TcpServer::clientDisconnect, &server,
                         [this, &server](const ConnectionPtr &c) {
                             onUiThread = onUiThread
                                          && QThread::currentThread()
                                                     == QCoreApplication::instance()->thread();
                             closing.push_back(c);
                             // What the handler can still ask of a closing connection.
                             closingAddress.push_back(c->peerAddress());
                             closingPort.push_back(c->peerPort());
                             closingStillListed.push_back(server.activeConnections());
                         });
        QObject::connect(&server, &TcpServer::clientError, &server,
                         [this](const ConnectionPtr &c, int &code) {
                             onUiThread = onUiThread
                                          && QThread::currentThread()
                                                     == QCoreApplication::instance()->thread();
                             errors.push_back(code);
                             if (onError)
                                 onError(c, code);
                         });
        QObject::connect(&server, &TcpServer::serverError, &server, [this](int &code) {
            serverErrors.push_back(code);
            code = 0;
        });
    }

    std::vector<ConnectionPtr> accepted;
    std::vector<ConnectionPtr> closing;
    QList<QByteArray> closingAddress;
    QList<quint16> closingPort;
    QList<int> closingStillListed;
    QList<int> errors;
    QList<int> serverErrors;
    std::function<void(const ConnectionPtr &, int &)> onError;
    bool onUiThread = true;
};

} // namespace serverevents
