#pragma once

#include <QByteArray>
#include <QUrl>

#include <atomic>
#include <chrono>
#include <functional>
#include <optional>

// One HTTP GET to the vendor's web server, run to its end on the calling
// thread (a worker of its own: it runs an event loop until the transfer
// ends). The system's proxy settings apply.
namespace update {

inline constexpr const char *UserAgent = "UPDATE CHECK";

// How long the server may send nothing before the transfer is given up;
// 30 seconds unless a test shortens it.
std::chrono::milliseconds idleTimeout();
void setIdleTimeout(std::chrono::milliseconds timeout);

struct HttpHeader
{
    int status = 0;
    // The Content-Length header's text as sent, when there is one.
    std::optional<QByteArray> contentLength;
};

enum class HttpEnding {
    Complete,     // the whole response has arrived, whatever its status
    NoConnection, // no response at all: no server, no route, a refused address
    BrokenOff,    // the response began, then its body broke off
    Stalled,      // the server sent nothing for the idle time-out
    Declined,     // a handler asked to stop
    Stopped,      // the caller's stop flag was raised
};

struct HttpHandlers
{
    // Called once, before any body bytes, when the final response's header is in.
    // Returning false ends the transfer (Declined).
    std::function<bool(const HttpHeader &header)> header;
    // Called with each read of at most pieceSize body bytes, in order.
    // Returning false ends the transfer (Declined).
    std::function<bool(const char *data, qint64 size)> body;
};

// Runs the GET. stop is looked at every few milliseconds.
HttpEnding httpGet(const QUrl &url, const std::atomic<bool> &stop, qint64 pieceSize,
                   const HttpHandlers &handlers);

} // namespace update
