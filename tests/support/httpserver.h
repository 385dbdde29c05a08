#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QObject>
#include <QTcpServer>
#include <QUrl>

#include <optional>

class QTcpSocket;

// A small HTTP/1.1 server on 127.0.0.1 for the update tests: each path gets
// a scripted answer, including the ways a real server goes wrong.
class HttpTestServer : public QObject
{
    Q_OBJECT
public:
    enum class Delivery {
        Whole,      // header and body, then the connection closes
        HeaderOnly, // the header, then silence with the connection open
        Silent,     // nothing at all, the connection stays open
        BrokenOff,  // the header and brokenAfter bytes of the body, then close
        Closed,     // the connection closes without a byte
        Trickle,    // the header, then one body byte every trickleMs
        Chunked,    // the body in chunks of chunkSize, Content-Length sent as well,
                    // then silence: the last chunk never comes
        Endless,    // the status line, then header lines while they are taken
        Raw,        // body is the whole answer, status line and header
                    // included, sent as it is; then the connection closes
        Interim,    // "100 Continue" answers while they are taken, no end
    };
    struct Response
    {
        Response(int status = 200, QByteArray body = {})
            : status(status)
            , body(std::move(body))
        {}
        int status = 200;
        QByteArray body;
        // Content-Length as sent: the body's size unless set; without one
        // the body ends when the connection closes.
        bool sendLength = true;
        std::optional<QByteArray> lengthText;
        Delivery delivery = Delivery::Whole;
        qsizetype brokenAfter = 0;
        int trickleMs = 20;
        qsizetype chunkSize = 100;
        // The first this many GETs of the path (the path, then the path with
        // "?hop=1", "?hop=2"...) are sent on to the next with a 302.
        int redirects = 0;
        bool relativeRedirects = false; // "/path?hop=1" rather than the whole address
        // Every answer, a redirect's included, comes this late.
        int delayMs = 0;
        // Interim answers (a 100, then 103s) before the header.
        int interimAnswers = 0;
    };
    struct Request
    {
        QByteArray method;
        QByteArray path;
        QByteArray userAgent;
    };

    HttpTestServer();
    ~HttpTestServer() override;

    // Listens on a free port of 127.0.0.1.
    bool listen();
    // "http://127.0.0.1:<port>".
    QByteArray address() const;

    // What a GET of path answers; paths without an answer get a 404.
    void serve(const QByteArray &path, const Response &response);

    QList<Request> requests;
    // Connections not yet closed, by either side.
    int openConnections() const { return int(m_pending.size()); }

    // A port of 127.0.0.1 on which nobody listens.
    static quint16 closedPort();

    // A port of 127.0.0.1 whose queue of connections is full and never
    // taken from: a connect to it waits and waits.
    class HangingPort
    {
    public:
        HangingPort();
        ~HangingPort();
        quint16 port() const { return m_port; }

    private:
        int m_listener = -1;
        QList<int> m_fillers;
        quint16 m_port = 0;
    };

signals:
    void requestServed(const QByteArray &path);

private:
    void onNewConnection();
    void onReadyRead(QTcpSocket *socket);
    void answer(QTcpSocket *socket, const QByteArray &path, const Response &response, int hop);
    void trickle(QTcpSocket *socket, const QByteArray &body, int intervalMs);
    void sendEndless(QTcpSocket *socket, const QByteArray &start, const QByteArray &more);
    static QByteArray chunked(const QByteArray &body, qsizetype chunkSize);

    QTcpServer m_server;
    QHash<QByteArray, Response> m_responses;
    QHash<QTcpSocket *, QByteArray> m_pending;
};

Q_DECLARE_METATYPE(HttpTestServer::Response)

// A version file: three little-endian signed 32-bit integers.
QByteArray versionFile(qint32 major, qint32 minor, qint32 release);
