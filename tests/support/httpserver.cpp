#include "support/httpserver.h"

#include <QTcpSocket>
#include <QtEndian>

namespace {

QByteArray reason(int status)
{
    switch (status) {
    case 200:
        return "OK";
    case 301:
        return "Moved Permanently";
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

    Response response;
    response.status = 404;
    response = m_responses.value(request.path, response);

    if (response.delivery != Delivery::Silent) {
        QByteArray header = "HTTP/1.1 " + QByteArray::number(response.status) + ' '
                            + reason(response.status) + "\r\n";
        header += "Content-Type: application/octet-stream\r\nConnection: close\r\n";
        if (response.sendLength) {
            header += "Content-Length: "
                      + response.lengthText.value_or(QByteArray::number(response.body.size()))
                      + "\r\n";
        }
        header += "\r\n";
        socket->write(header);
        if (response.delivery == Delivery::Whole)
            socket->write(response.body);
        else if (response.delivery == Delivery::BrokenOff)
            socket->write(response.body.left(response.brokenAfter));
        if (response.delivery != Delivery::HeaderOnly)
            socket->disconnectFromHost(); // after the bytes are out
    }
    emit requestServed(request.path);
}

QByteArray versionFile(qint32 major, qint32 minor, qint32 release)
{
    QByteArray file(12, '\0');
    qToLittleEndian<qint32>(major, file.data());
    qToLittleEndian<qint32>(minor, file.data() + 4);
    qToLittleEndian<qint32>(release, file.data() + 8);
    return file;
}
