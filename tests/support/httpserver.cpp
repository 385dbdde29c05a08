#include "support/httpserver.h"

#include <QTcpSocket>
#include <QTimer>
#include <QtEndian>

#include <memory>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

QByteArray reason(int status)
{
    switch (status) {
    case 200:
        return "OK";
    case 301:
        return "Moved Permanently";
    case 302:
        return "Found";
    case 403:
        return "Forbidden";
    case 404:
        return "Not Found";
    case 500:
        return "Internal Server Error";
    default:
        return "Status";
    }
}

} // namespace

HttpTestServer::HttpTestServer()
{
    connect(&m_server, &QTcpServer::newConnection, this, &HttpTestServer::onNewConnection);
}

HttpTestServer::~HttpTestServer()
{
    // Aborting raises disconnected(), which edits the table.
    const QList<QTcpSocket *> open = m_pending.keys();
    for (QTcpSocket *socket : open)
        socket->abort();
}

bool HttpTestServer::listen()
{
    return m_server.listen(QHostAddress::LocalHost, 0);
}

QByteArray HttpTestServer::address() const
{
    return "http://127.0.0.1:" + QByteArray::number(m_server.serverPort());
}

void HttpTestServer::serve(const QByteArray &path, const Response &response)
{
    m_responses.insert(path, response);
}

quint16 HttpTestServer::closedPort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    const quint16 port = probe.serverPort();
    probe.close();
    return port;
}

void HttpTestServer::onNewConnection()
{
    while (QTcpSocket *socket = m_server.nextPendingConnection()) {
        socket->setParent(this);
        m_pending.insert(socket, {});
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { onReadyRead(socket); });
        connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
            m_pending.remove(socket);
            socket->deleteLater();
        });
    }
}

void HttpTestServer::onReadyRead(QTcpSocket *socket)
{
    QByteArray &buffer = m_pending[socket];
    buffer += socket->readAll();
    const qsizetype end = buffer.indexOf("\r\n\r\n");
    if (end < 0)
        return;
    const QList<QByteArray> lines = buffer.left(end).split('\n');
    buffer.clear();
    disconnect(socket, &QTcpSocket::readyRead, this, nullptr);

    Request request;
    const QList<QByteArray> requestLine = lines.value(0).trimmed().split(' ');
    request.method = requestLine.value(0);
    request.path = requestLine.value(1);
    for (const QByteArray &line : lines.mid(1)) {
        const qsizetype colon = line.indexOf(':');
        if (colon > 0 && line.left(colon).trimmed().toLower() == "user-agent")
            request.userAgent = line.mid(colon + 1).trimmed();
    }
    requests.append(request);

    // "/path?hop=2": the second redirect's target on the way to "/path".
    const qsizetype hopAt = request.path.indexOf("?hop=");
    const QByteArray path = hopAt < 0 ? request.path : request.path.left(hopAt);
    const int hop = hopAt < 0 ? 0 : request.path.mid(hopAt + 5).toInt();
    Response response;
    response.status = 404;
    response = m_responses.value(path, response);
    if (response.delayMs > 0) {
        QTimer::singleShot(response.delayMs, socket,
                           [=, this] { answer(socket, path, response, hop); });
    } else {
        answer(socket, path, response, hop);
    }
    emit requestServed(request.path);
}

void HttpTestServer::answer(QTcpSocket *socket, const QByteArray &path, const Response &response,
                            int hop)
{
    if (hop < response.redirects) {
        const QByteArray next = path + "?hop=" + QByteArray::number(hop + 1);
        socket->write("HTTP/1.1 302 Found\r\nLocation: "
                      + (response.relativeRedirects ? next : address() + next)
                      + "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
        socket->disconnectFromHost();
        return;
    }
    if (response.delivery == Delivery::Closed) {
        socket->disconnectFromHost();
    } else if (response.delivery == Delivery::Endless) {
        sendEndless(socket, "HTTP/1.1 200 OK\r\n",
                    QByteArray("X-Wypelnienie: " + QByteArray(1000, 'w') + "\r\n").repeated(16));
    } else if (response.delivery == Delivery::Interim) {
        const QByteArray interim = "HTTP/1.1 100 Continue\r\n\r\n";
        sendEndless(socket, interim, interim.repeated(512));
    } else if (response.delivery == Delivery::Raw) {
        socket->write(response.body);
        socket->disconnectFromHost();
    } else if (response.delivery != Delivery::Silent) {
        QByteArray header = "HTTP/1.1 " + QByteArray::number(response.status) + ' '
                            + reason(response.status) + "\r\n";
        header += "Content-Type: application/octet-stream\r\nConnection: close\r\n";
        if (response.delivery == Delivery::Chunked)
            header += "Transfer-Encoding: chunked\r\n";
        if (response.sendLength) {
            header += "Content-Length: "
                      + response.lengthText.value_or(QByteArray::number(response.body.size()))
                      + "\r\n";
        }
        header += "\r\n";
        for (int i = 0; i < response.interimAnswers; ++i) {
            socket->write(i == 0 ? "HTTP/1.1 100 Continue\r\n\r\n"
                                 : "HTTP/1.1 103 Early Hints\r\nLink: </a.css>\r\n\r\n");
        }
        socket->write(header);
        if (response.delivery == Delivery::Whole)
            socket->write(response.body);
        else if (response.delivery == Delivery::BrokenOff)
            socket->write(response.body.left(response.brokenAfter));
        else if (response.delivery == Delivery::Chunked)
            socket->write(chunked(response.body, response.chunkSize));
        if (response.delivery == Delivery::Trickle)
            trickle(socket, response.body, response.trickleMs);
        else if (response.delivery != Delivery::HeaderOnly
                 && response.delivery != Delivery::Chunked)
            socket->disconnectFromHost(); // after the bytes are out
    }
}

void HttpTestServer::trickle(QTcpSocket *socket, const QByteArray &body, int intervalMs)
{
    // The timer belongs to the socket and goes with it.
    auto *timer = new QTimer(socket);
    auto sent = std::make_shared<qsizetype>(0);
    connect(timer, &QTimer::timeout, socket, [socket, timer, body, sent] {
        if (*sent >= body.size()) {
            timer->stop();
            socket->disconnectFromHost();
            return;
        }
        socket->write(body.mid((*sent)++, 1));
    });
    timer->start(intervalMs);
}

void HttpTestServer::sendEndless(QTcpSocket *socket, const QByteArray &start,
                                 const QByteArray &more)
{
    // Kept just ahead of the reader, however fast it reads.
    auto topUp = [this, socket, more] {
        while (socket->state() == QAbstractSocket::ConnectedState
               && socket->bytesToWrite() < more.size()) {
            socket->write(more);
        }
    };
    connect(socket, &QTcpSocket::bytesWritten, this, topUp);
    socket->write(start);
    topUp();
}

QByteArray HttpTestServer::chunked(const QByteArray &body, qsizetype chunkSize)
{
    QByteArray out;
    for (qsizetype at = 0; at < body.size(); at += chunkSize) {
        const QByteArray chunk = body.mid(at, chunkSize);
        out += QByteArray::number(chunk.size(), 16) + "\r\n" + chunk + "\r\n";
    }
    // No last chunk: the body never ends.
    return out;
}

HttpTestServer::HangingPort::HangingPort()
{
    m_listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof addr;
    if (::bind(m_listener, reinterpret_cast<sockaddr *>(&addr), length) != 0
        || ::listen(m_listener, 0) != 0
        || ::getsockname(m_listener, reinterpret_cast<sockaddr *>(&addr), &length) != 0)
        return;
    m_port = ntohs(addr.sin_port);
    // A queue of length 0 still takes one connection; the next few fill
    // whatever the kernel allows beyond it. Once it is full, new connects
    // get no answer at all.
    for (int i = 0; i < 3; ++i) {
        const int filler = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        ::connect(filler, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
        m_fillers.append(filler);
    }
}

HttpTestServer::HangingPort::~HangingPort()
{
    for (int filler : std::as_const(m_fillers))
        ::close(filler);
    if (m_listener >= 0)
        ::close(m_listener);
}

QByteArray versionFile(qint32 major, qint32 minor, qint32 release)
{
    QByteArray file(12, '\0');
    qToLittleEndian<qint32>(major, file.data());
    qToLittleEndian<qint32>(minor, file.data() + 4);
    qToLittleEndian<qint32>(release, file.data() + 8);
    return file;
}
