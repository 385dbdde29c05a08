#pragma once

#include <QByteArray>
#include <QUrl>

#include <atomic>
#include <chrono>
#include <functional>
#include <optional>

// One HTTP GET to the vendor's web server, run to its end on the calling
// thread (a worker of its own: it runs an event loop until the transfer
// ends). The system's proxy settings apply. The connection is this thread's
// own and is closed when the transfer ends, however it ends: a server that
// keeps sending holds no other thread and no memory after that.
namespace update {

inline constexpr const char *UserAgent = "UPDATE CHECK";
// A header block longer than this is no answer (Refused).
inline constexpr qsizetype MaxHeaderBytes = 64 * 1024;

// How long the server may send nothing before the transfer is given up;
// 30 seconds unless a test shortens it.
std::chrono::milliseconds idleTimeout();
void setIdleTimeout(std::chrono::milliseconds timeout);

struct HttpHeader
{
    int status = 0;
    // The body's length in decimal, when the header gives one (never for
    // a chunked body).
    std::optional<QByteArray> contentLength;
};

enum class HttpEnding {
    Complete,     // the whole response has arrived, whatever its status
    NoConnection, // no response at all: no server, no route, a refused address,
                  // or no status line within the idle time-out
    BrokenOff,    // the response began, then its body broke off
    Stalled,      // the header came, then nothing more for the idle time-out
    Declined,     // a handler asked to stop
    Stopped,      // the caller's stop flag was raised
    OutOfTime,    // the caller's deadline passed before the response was in
    Refused,      // the response broke the protocol: a header over its limit,
                  // a status line or chunk that is no such thing, more
                  // interim (1xx) answers than any server needs
    Malformed,    // the header leaves the body's end in doubt: lengths that
                  // differ, a length that is no number, a length and chunks
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

// Runs the GET, redirects included. stop (and the deadline, when given) is
// looked at every few milliseconds; the deadline, like the idle time before
// the header, holds for the whole transfer, not for each redirect. An
// exception thrown by a handler ends the transfer and is thrown again from
// here once the connection is gone.
HttpEnding httpGet(const QUrl &url, const std::atomic<bool> &stop, qint64 pieceSize,
                   const HttpHandlers &handlers,
                   std::optional<std::chrono::milliseconds> deadline = std::nullopt);

// Where a transfer may be made to fail in tests: the hook runs at the start
// of every transfer, before each call of the header handler and before each
// call of the body handler, on the transfer's thread. Whatever it throws
// goes where a handler's exception goes.
enum class TransferStage { Start, Header, Body };
void setTransferHook(std::function<void(TransferStage stage)> hook);

// For tests only: certificates (PEM) trusted for https beside the system's
// own store, such as a test's own certificate authority. The program never
// sets any, so it trusts the system's store alone; an empty text clears them.
void setExtraTrustedCertificates(const QByteArray &pem);

} // namespace update
