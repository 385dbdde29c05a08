#include "update/httpget.h"

#include "update/httpframing.h"

#include <QDeadlineTimer>
#include <QEventLoop>
#include <QNetworkProxyFactory>
#include <QTcpSocket>
#include <QTimer>
#if QT_CONFIG(ssl)
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslSocket>
#endif

#include <algorithm>
#include <climits>
#include <exception>
#include <memory>
#include <mutex>
#include <vector>

namespace update {

namespace {

std::atomic<qint64> idleTimeoutMs{30000};
constexpr int StopPollMs = 20;
constexpr qint64 ReadChunk = 16 * 1024;
// A server may send any number of bytes; the socket keeps at most this many
// waiting for the transfer, so a fast one is held up, not stored.
constexpr qint64 SocketBuffer = 64 * 1024;
constexpr int MaxRedirects = 10;
constexpr qsizetype MaxChunkLine = 1024;
// "100 Continue" and its kind come before the answer; a server that sends
// more of them than this is stalling, not answering.
constexpr int MaxInterimAnswers = 4;

std::mutex hookMutex;
std::function<void(TransferStage)> transferHook;

std::function<void(TransferStage)> currentHook()
{
    std::lock_guard lock(hookMutex);
    return transferHook;
}

#if QT_CONFIG(ssl)
std::mutex trustMutex;
QList<QSslCertificate> extraTrusted;

QList<QSslCertificate> extraTrustedCertificates()
{
    std::lock_guard lock(trustMutex);
    return extraTrusted;
}
#endif

class Transfer
{
public:
    Transfer(const std::atomic<bool> &stop, qint64 pieceSize, const HttpHandlers &handlers,
             std::function<void(TransferStage)> hook)
        : m_stop(stop)
        , m_piece(std::max<qint64>(1, pieceSize))
        , m_handlers(handlers)
        , m_hook(std::move(hook))
    {}

    HttpEnding run(const QUrl &url, QDeadlineTimer deadline)
    {
        // The loop comes first: it gives this thread the event dispatcher
        // that the sockets and the timers need.
        QEventLoop loop;
        m_loop = &loop;
        QTimer idle;
        m_idle = &idle;
        idle.setSingleShot(true);
        idle.setInterval(int(std::min<qint64>(idleTimeoutMs.load(), INT_MAX)));
        QTimer stopPoll;
        stopPoll.setInterval(StopPollMs);
        // A server that never gets as far as a whole header is as good as
        // none; one that falls silent after it has broken its answer off.
        QObject::connect(&idle, &QTimer::timeout, &loop, [this] {
            end(m_headerDelivered ? HttpEnding::Stalled : HttpEnding::NoConnection);
        });
        QObject::connect(&stopPoll, &QTimer::timeout, &loop, [this, deadline] {
            if (m_stop.load())
                end(HttpEnding::Stopped);
            else if (deadline.hasExpired())
                end(HttpEnding::OutOfTime);
        });

        idle.start();
        stopPoll.start();
        guarded([this, &url] { open(url); })();
        if (!m_ending)
            loop.exec();
        // The connection goes now, on this thread: nothing reads on after.
        for (auto &socket : m_sockets)
            socket->abort();
        m_sockets.clear();
        if (m_exception)
            std::rethrow_exception(m_exception);
        return m_ending.value_or(HttpEnding::NoConnection);
    }

private:
    enum class Phase { Header, Body, ChunkSize, ChunkData, ChunkEnd, Trailer };

    // Nothing may be thrown through Qt's event loop: a failure inside a
    // slot ends the transfer and is thrown again once the loop is left.
    template<typename Slot>
    std::function<void()> guarded(Slot slot)
    {
        return [this, slot] {
            try {
                slot();
            } catch (...) {
                if (!m_exception)
                    m_exception = std::current_exception();
                end(HttpEnding::Declined);
            }
        };
    }

    void end(HttpEnding ending)
    {
        if (!m_ending)
            m_ending = ending;
        m_loop->quit();
    }

    void open(const QUrl &url)
    {
        if (m_socket) {
            m_socket->disconnect();
            m_socket->abort();
        }
        m_url = url;
        m_phase = Phase::Header;
        m_in.clear();
        m_pos = 0;
        m_searched = 0;
        const bool tls = url.scheme() == QLatin1String("https");
#if QT_CONFIG(ssl)
        if (tls)
            m_sockets.push_back(std::make_unique<QSslSocket>());
        else
            m_sockets.push_back(std::make_unique<QTcpSocket>());
#else
        if (tls)
            return end(HttpEnding::NoConnection);
        m_sockets.push_back(std::make_unique<QTcpSocket>());
#endif
        m_socket = m_sockets.back().get();
        m_socket->setReadBufferSize(SocketBuffer);

        QByteArray target
                = url.toEncoded(QUrl::RemoveScheme | QUrl::RemoveAuthority | QUrl::RemoveFragment);
        if (target.isEmpty())
            target = "/";
        QNetworkProxy proxy = QNetworkProxyFactory::proxyForQuery(QNetworkProxyQuery(url)).value(0);
        QString host = url.host();
        quint16 port = quint16(url.port(tls ? 443 : 80));
        const bool viaWebProxy = proxy.type() == QNetworkProxy::HttpProxy
                                 || proxy.type() == QNetworkProxy::HttpCachingProxy;
        if (viaWebProxy && !tls) {
            // A web proxy is asked for the whole address.
            target = url.toEncoded(QUrl::RemoveUserInfo | QUrl::RemoveFragment);
            host = proxy.hostName();
            port = proxy.port();
            proxy = QNetworkProxy(QNetworkProxy::NoProxy);
        } else if (proxy.type() == QNetworkProxy::HttpCachingProxy) {
            proxy.setType(QNetworkProxy::HttpProxy);
        }
        m_socket->setProxy(proxy);
        m_request = "GET " + target + " HTTP/1.1\r\nHost: "
                    + url.adjusted(QUrl::RemoveUserInfo).authority(QUrl::FullyEncoded).toLatin1()
                    + "\r\nUser-Agent: " + UserAgent
                    + "\r\nAccept-Encoding: identity\r\nConnection: close\r\n\r\n";

        QTcpSocket *socket = m_socket;
        QObject::connect(socket, &QTcpSocket::readyRead, socket, guarded([this] { read(); }));
        QObject::connect(socket, &QTcpSocket::disconnected, socket, guarded([this] { closed(); }));
        QObject::connect(socket, &QAbstractSocket::errorOccurred, socket,
                         guarded([this] { closed(); }));
#if QT_CONFIG(ssl)
        if (tls) {
            auto *ssl = static_cast<QSslSocket *>(socket);
            const QList<QSslCertificate> extra = extraTrustedCertificates();
            if (!extra.isEmpty()) {
                QSslConfiguration configuration = ssl->sslConfiguration();
                configuration.addCaCertificates(extra);
                ssl->setSslConfiguration(configuration);
            }
            QObject::connect(ssl, &QSslSocket::encrypted, ssl,
                             [this, ssl] { ssl->write(m_request); });
            ssl->connectToHostEncrypted(host, port);
            return;
        }
#endif
        QObject::connect(socket, &QTcpSocket::connected, socket,
                         [this, socket] { socket->write(m_request); });
        socket->connectToHost(host, port);
    }

    void read()
    {
        while (!m_ending && m_socket->bytesAvailable() > 0) {
            m_in += m_socket->read(ReadChunk);
            // Only an answer under way keeps the transfer alive: a header
            // must be whole within the idle time.
            if (m_headerDelivered)
                m_idle->start();
            process();
        }
    }

    // The connection closed, or failed.
    void closed()
    {
        if (m_ending)
            return;
        if (m_socket->bytesAvailable() > 0)
            read();
        if (m_ending)
            return;
        if (!m_headerDelivered)
            end(m_statusSeen ? HttpEnding::BrokenOff : HttpEnding::NoConnection);
        else if (m_phase == Phase::Body && !m_length)
            end(HttpEnding::Complete); // its end is the connection's
        else if (m_phase == Phase::Trailer)
            end(HttpEnding::Complete); // the body is whole; its trailer is not needed
        else
            end(HttpEnding::BrokenOff);
    }

    // What has been read and not yet taken.
    QByteArrayView unread() const
    {
        return QByteArrayView(m_in).sliced(m_pos);
    }

    // Takes what was read, piece by piece. Taking moves a position on; the
    // taken bytes go once per read, so a read of many small pieces (tiny
    // chunks, a crowd of interim answers) costs its length, not its square.
    void process()
    {
        while (!m_ending && m_pos < m_in.size()) {
            const qsizetype before = m_pos;
            const Phase phase = m_phase;
            switch (m_phase) {
            case Phase::Header:
                readHeader();
                break;
            case Phase::Body:
                readBody();
                break;
            case Phase::ChunkSize:
            case Phase::ChunkData:
            case Phase::ChunkEnd:
            case Phase::Trailer:
                readChunks();
                break;
            }
            if (m_pos == before && m_phase == phase)
                break; // waits for more
        }
        m_in.remove(0, m_pos);
        m_pos = 0;
    }

    void readHeader()
    {
        const QByteArrayView in = unread();
        const qsizetype blockEnd = headerEnd(in, std::max<qsizetype>(0, m_searched - 2));
        if ((blockEnd < 0 && in.size() > MaxHeaderBytes) || blockEnd > MaxHeaderBytes)
            return end(HttpEnding::Refused);
        if (blockEnd < 0) {
            m_searched = in.size();
            return;
        }
        const QList<QByteArray> lines = in.first(blockEnd).trimmed().toByteArray().split('\n');
        m_pos += blockEnd;
        m_searched = 0;
        const QList<QByteArray> statusLine = lines.value(0).trimmed().split(' ');
        const std::optional<qint64> status = statusCode(statusLine.value(1));
        if (!statusLine.value(0).startsWith("HTTP/1.") || !status || *status < 100 || *status > 999)
            return end(HttpEnding::Refused);
        m_statusSeen = true;
        if (*status < 200) {
            // An interim answer; the real one follows, within the same time.
            if (++m_interimAnswers > MaxInterimAnswers)
                end(HttpEnding::Refused);
            return;
        }

        m_status = int(*status);
        m_location.clear();
        for (const QByteArray &line : lines.mid(1)) {
            const qsizetype colon = line.indexOf(':');
            if (colon > 0 && line.left(colon).trimmed().toLower() == "location")
                m_location = line.mid(colon + 1).trimmed();
        }
        if (redirect())
            return;
        const BodyFraming framing = bodyFraming(lines.mid(1));
        if (framing.malformed)
            return end(HttpEnding::Malformed);
        m_length = framing.chunked ? std::nullopt : framing.length;
        m_phase = framing.chunked ? Phase::ChunkSize : Phase::Body;
        deliverHeader();
        if (!m_ending && m_phase == Phase::Body && m_length && *m_length == 0)
            end(HttpEnding::Complete);
        if (!m_ending && (m_status == 204 || m_status == 304))
            end(HttpEnding::Complete);
    }

    // Follows a redirect, as long as it goes to a web address no less safe.
    // The new server gets no time of its own: the idle time before the
    // header and the caller's deadline run on from the first request.
    bool redirect()
    {
        static const QList<int> redirects{301, 302, 303, 307, 308};
        if (!redirects.contains(m_status) || m_location.isEmpty() || m_redirects >= MaxRedirects)
            return false;
        const QUrl next = m_url.resolved(QUrl::fromEncoded(m_location));
        const QString scheme = next.scheme();
        if (!next.isValid() || next.host().isEmpty()
            || (scheme != QLatin1String("https")
                && (scheme != QLatin1String("http") || m_url.scheme() == QLatin1String("https"))))
            return false;
        ++m_redirects;
        open(next);
        return true;
    }

    void deliverHeader()
    {
        m_headerDelivered = true;
        m_idle->start();
        HttpHeader header;
        header.status = m_status;
        if (m_length)
            header.contentLength = QByteArray::number(*m_length);
        if (m_hook)
            m_hook(TransferStage::Header);
        if (m_handlers.header && !m_handlers.header(header))
            end(HttpEnding::Declined);
    }

    void readBody()
    {
        qint64 take = unread().size();
        if (m_length)
            take = std::min(take, *m_length - m_received);
        const char *data = unread().data();
        m_pos += take;
        deliver(data, take);
        if (!m_ending && m_length && m_received == *m_length)
            end(HttpEnding::Complete);
    }

    void readChunks()
    {
        if (m_phase == Phase::ChunkData) {
            const qint64 take = std::min<qint64>(unread().size(), m_chunkLeft);
            const char *data = unread().data();
            m_pos += take;
            deliver(data, take);
            if ((m_chunkLeft -= take) == 0)
                m_phase = Phase::ChunkEnd;
            return;
        }
        // A chunk's size line is short; the trailer's lines share the
        // header's limit.
        const qsizetype limit
                = m_phase == Phase::Trailer ? MaxHeaderBytes - m_trailerBytes : MaxChunkLine;
        const qsizetype lineEnd = unread().indexOf('\n');
        if (lineEnd < 0 || lineEnd > limit) {
            if (lineEnd > limit || unread().size() > limit)
                end(HttpEnding::Refused);
            return;
        }
        const QByteArrayView line = unread().first(lineEnd).trimmed();
        m_pos += lineEnd + 1;
        switch (m_phase) {
        case Phase::ChunkEnd:
            if (!line.isEmpty())
                return end(HttpEnding::Refused);
            m_phase = Phase::ChunkSize;
            return;
        case Phase::Trailer:
            // Its fields are of no interest; its empty line ends the answer.
            m_trailerBytes += lineEnd + 1;
            if (line.isEmpty())
                end(HttpEnding::Complete);
            return;
        default:
            break;
        }
        const std::optional<qint64> size = chunkSize(line);
        if (!size)
            return end(HttpEnding::Refused);
        m_chunkLeft = *size;
        m_phase = m_chunkLeft == 0 ? Phase::Trailer : Phase::ChunkData;
    }

    void deliver(const char *data, qint64 size)
    {
        m_received += size;
        while (size > 0 && !m_ending) {
            const qint64 n = std::min(size, m_piece);
            if (m_hook)
                m_hook(TransferStage::Body);
            if (m_handlers.body && !m_handlers.body(data, n))
                end(HttpEnding::Declined);
            data += n;
            size -= n;
        }
    }

    const std::atomic<bool> &m_stop;
    const qint64 m_piece;
    const HttpHandlers &m_handlers;
    const std::function<void(TransferStage)> m_hook;
    QEventLoop *m_loop = nullptr;
    QTimer *m_idle = nullptr;
    // Every socket of the transfer, a redirect's included: none is deleted
    // inside its own signal.
    std::vector<std::unique_ptr<QTcpSocket>> m_sockets;
    QTcpSocket *m_socket = nullptr;
    QUrl m_url;
    QByteArray m_request;
    int m_redirects = 0;
    Phase m_phase = Phase::Header;
    // Read and not yet taken from m_pos on: at most a header, a chunk line
    // or one read's worth.
    QByteArray m_in;
    qsizetype m_pos = 0;
    qsizetype m_searched = 0; // how much of the header so far has no end in it
    int m_interimAnswers = 0;
    qsizetype m_trailerBytes = 0;
    bool m_statusSeen = false;
    bool m_headerDelivered = false;
    int m_status = 0;
    QByteArray m_location;
    std::optional<qint64> m_length;
    qint64 m_received = 0;
    qint64 m_chunkLeft = 0;
    std::optional<HttpEnding> m_ending;
    std::exception_ptr m_exception;
};

} // namespace

std::chrono::milliseconds idleTimeout()
{
    return std::chrono::milliseconds(idleTimeoutMs.load());
}

void setIdleTimeout(std::chrono::milliseconds timeout)
{
    idleTimeoutMs = std::max<qint64>(1, timeout.count());
}

void setTransferHook(std::function<void(TransferStage stage)> hook)
{
    std::lock_guard lock(hookMutex);
    transferHook = std::move(hook);
}

void setExtraTrustedCertificates(const QByteArray &pem)
{
#if QT_CONFIG(ssl)
    std::lock_guard lock(trustMutex);
    extraTrusted = QSslCertificate::fromData(pem, QSsl::Pem);
#else
    Q_UNUSED(pem);
#endif
}

HttpEnding httpGet(const QUrl &url, const std::atomic<bool> &stop, qint64 pieceSize,
                   const HttpHandlers &handlers, std::optional<std::chrono::milliseconds> deadline)
{
    static std::once_flag proxySetting;
    std::call_once(proxySetting, [] { QNetworkProxyFactory::setUseSystemConfiguration(true); });
    std::function<void(TransferStage)> hook = currentHook();
    if (hook)
        hook(TransferStage::Start);
    Transfer transfer(stop, pieceSize, handlers, std::move(hook));
    return transfer.run(url, deadline ? QDeadlineTimer(*deadline)
                                      : QDeadlineTimer(QDeadlineTimer::Forever));
}

} // namespace update
