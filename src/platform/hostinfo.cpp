#include "platform/hostinfo.h"

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace platform {

void startSockets()
{
#ifdef _WIN32
    // Kept for the whole run: Winsock counts its users, and this one never
    // leaves before the process does.
    static const bool started = [] {
        WSADATA data{};
        return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    (void)started;
#endif
}

QByteArray localHostName()
{
    startSockets();
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0)
        name[0] = '\0';
    return QByteArray(name);
}

QByteArray firstIPv4Address(const QByteArray &name)
{
    startSockets();
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *found = nullptr;
    QByteArray address;
    if (!name.isEmpty() && ::getaddrinfo(name.constData(), nullptr, &hints, &found) == 0 && found) {
        char dotted[INET_ADDRSTRLEN] = {};
        const auto *addr = reinterpret_cast<const sockaddr_in *>(found->ai_addr);
        if (::inet_ntop(AF_INET, &addr->sin_addr, dotted, sizeof dotted))
            address = QByteArray(dotted);
    }
    if (found)
        ::freeaddrinfo(found);
    return address;
}

void resetOnClose(qintptr descriptor)
{
    if (descriptor < 0)
        return;
    const linger lin{1, 0};
#ifdef _WIN32
    ::setsockopt(SOCKET(descriptor), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char *>(&lin),
                 sizeof lin);
#else
    ::setsockopt(int(descriptor), SOL_SOCKET, SO_LINGER, &lin, sizeof lin);
#endif
}

} // namespace platform
