#include "update/httpget.h"

#include <QDeadlineTimer>
#include <QEventLoop>
#include <QNetworkAccessManager>
#include <QNetworkProxyFactory>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>

#include <exception>
#include <memory>
#include <mutex>
#include <vector>

namespace update {

namespace {

std::atomic<qint64> idleTimeoutMs{30000};
constexpr int StopPollMs = 20;

std::mutex hookMutex;
std::function<void(TransferStage)> transferHook;

std::function<void(TransferStage)> currentHook()
{
    std::lock_guard lock(hookMutex);
    return transferHook;
}

bool isHttpStatusError(QNetworkReply::NetworkError error)
{
    // Qt reports a 4xx or 5xx answer as an error although the response
    // itself arrived whole; those are the content and server error ranges.
    return (error >= QNetworkReply::ContentAccessDenied
            && error <= QNetworkReply::UnknownContentError)
           || (error >= QNetworkReply::InternalServerError
               && error <= QNetworkReply::UnknownServerError);
}

class Transfer
{
public:
    Transfer(const std::atomic<bool> &stop, qint64 pieceSize, const HttpHandlers &handlers,
             std::function<void(TransferStage)> hook)
        : m_stop(stop)
        , m_piece(std::max<qint64>(1, pieceSize))
        , m_handlers(handlers)
        , m_hook(std::move(hook))
        , m_buffer(size_t(m_piece))
    {}

    HttpEnding run(const QUrl &url, QDeadlineTimer deadline)
    {
        // The loop comes first: it gives this thread the event dispatcher
        // that the manager and the timers need.
        QEventLoop loop;
        QNetworkAccessManager manager;
        QNetworkRequest request(url);
        request.setHeader(QNetworkRequest::UserAgentHeader, QByteArray(UserAgent));
        // The body is saved as sent and measured against Content-Length, so
        // it must not come compressed.
        request.setRawHeader("Accept-Encoding", "identity");
        request.setAttribute(QNetworkRequest::CacheLoadControlAttribute,
                             QNetworkRequest::AlwaysNetwork);
        std::unique_ptr<QNetworkReply> reply(manager.get(request));
        m_reply = reply.get();
        m_loop = &loop;

        QTimer idle;
        idle.setSingleShot(true);
        idle.setInterval(int(std::min<qint64>(idleTimeoutMs.load(), INT_MAX)));
        QTimer stopPoll;
        stopPoll.setInterval(StopPollMs);

        auto alive = [&idle] {
            idle.start();
        };
        QObject::connect(reply.get(), &QNetworkReply::metaDataChanged, reply.get(),
                         guarded([this, alive] {
                             alive();
                             const int status = statusCode();
                             // A redirect's own header is not the answer; Qt follows it.
                             if (status > 0 && (status < 300 || status > 399))
                                 deliverHeader();
                         }));
        QObject::connect(reply.get(), &QNetworkReply::readyRead, reply.get(),
                         guarded([this, alive] {
                             alive();
                             drain();
                         }));
        QObject::connect(reply.get(), &QNetworkReply::downloadProgress, reply.get(), alive);
        QObject::connect(reply.get(), &QNetworkReply::redirected, reply.get(), alive);
        QObject::connect(reply.get(), &QNetworkReply::finished, reply.get(),
                         guarded([this] { finish(); }));
        // A server that never gets as far as a status line is as good as
        // none; one that falls silent after it has broken its answer off.
        QObject::connect(&idle, &QTimer::timeout, reply.get(), [this] {
            end(m_headerDelivered ? HttpEnding::Stalled : HttpEnding::NoConnection);
        });
        QObject::connect(&stopPoll, &QTimer::timeout, reply.get(), [this, deadline] {
            if (m_stop.load())
                end(HttpEnding::Stopped);
            else if (deadline.hasExpired())
                end(HttpEnding::OutOfTime);
        });

        idle.start();
        stopPoll.start();
        if (!reply->isFinished())
            loop.exec();
        else
            guarded([this] { finish(); })();
        idle.stop();
        stopPoll.stop();
        if (!reply->isFinished())
            reply->abort();
        m_reply = nullptr;
        if (m_exception)
            std::rethrow_exception(m_exception);
        return m_ending.value_or(HttpEnding::NoConnection);
    }

private:
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

    int statusCode() const
    {
        const QVariant status = m_reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
        return status.isValid() ? status.toInt() : 0;
    }

    // Ends the transfer with the given outcome, unless it has one already.
    // The reply is aborted once the loop has returned: aborting inside one
    // of its own signals makes it report a second error.
    void end(HttpEnding ending)
    {
        if (!m_ending)
            m_ending = ending;
        m_loop->quit();
    }

    void deliverHeader()
    {
        if (m_headerDelivered || m_ending)
            return;
        m_headerDelivered = true;
        HttpHeader header;
        header.status = statusCode();
        if (m_reply->hasRawHeader("Content-Length"))
            header.contentLength = m_reply->rawHeader("Content-Length");
        if (m_hook)
            m_hook(TransferStage::Header);
        if (m_handlers.header && !m_handlers.header(header))
            end(HttpEnding::Declined);
    }

    void drain()
    {
        if (m_ending)
            return;
        if (m_reply->bytesAvailable() > 0 && statusCode() > 0)
            deliverHeader();
        while (!m_ending && m_reply->bytesAvailable() > 0) {
            const qint64 n = m_reply->read(m_buffer.data(), m_piece);
            if (n <= 0)
                break;
            if (m_hook)
                m_hook(TransferStage::Body);
            if (m_handlers.body && !m_handlers.body(m_buffer.data(), n))
                end(HttpEnding::Declined);
        }
    }

    void finish()
    {
        if (!m_ending) {
            if (statusCode() > 0)
                deliverHeader();
            drain();
        }
        if (!m_ending) {
            const QNetworkReply::NetworkError error = m_reply->error();
            if (error == QNetworkReply::NoError)
                m_ending = HttpEnding::Complete;
            else if (statusCode() <= 0)
                m_ending = HttpEnding::NoConnection;
            else if (isHttpStatusError(error))
                m_ending = HttpEnding::Complete;
            else
                m_ending = HttpEnding::BrokenOff;
        }
        m_loop->quit();
    }

    const std::atomic<bool> &m_stop;
    const qint64 m_piece;
    const HttpHandlers &m_handlers;
    const std::function<void(TransferStage)> m_hook;
    std::vector<char> m_buffer;
    QNetworkReply *m_reply = nullptr;
    QEventLoop *m_loop = nullptr;
    bool m_headerDelivered = false;
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
