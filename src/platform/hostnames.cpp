#include "platform/hostnames.h"

#include "platform/cp1250.h"
#include "platform/hostinfo.h"
#include "platform/netbios.h"
#include "platform/tcpserver.h"

#include <QThreadPool>

#include <chrono>
#include <mutex>
#include <optional>

// The reverse lookup is the same call on both systems; only its header
// differs.
#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#endif

namespace platform {

namespace {

std::mutex resolverMutex;
TcpServer::HostNameResolver resolverOverride;

std::mutex settingsMutex;
std::optional<hostnames::Settings> current;

hostnames::Settings fromEnvironment()
{
    hostnames::Settings s;
    s.netbios = qEnvironmentVariable("DOCENTOR_NETBIOS") != QLatin1String("0");
    bool ok = false;
    const uint port = qEnvironmentVariable("DOCENTOR_NETBIOS_PORT").toUInt(&ok);
    if (ok && port > 0 && port <= 65535)
        s.netbiosPort = quint16(port);
    return s;
}

} // namespace

void TcpServer::setHostNameResolver(HostNameResolver resolver)
{
    std::lock_guard lock(resolverMutex);
    resolverOverride = std::move(resolver);
}

QByteArray TcpServer::lookupHostName(const QByteArray &address)
{
    HostNameResolver resolver;
    {
        std::lock_guard lock(resolverMutex);
        resolver = resolverOverride;
    }
    // Called outside the lock: a slow name service answers many at once.
    if (resolver)
        return resolver(address);
    startSockets();
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    if (::inet_pton(AF_INET, address.constData(), &addr.sin_addr) != 1)
        return {};
    char host[NI_MAXHOST];
    if (::getnameinfo(reinterpret_cast<sockaddr *>(&addr), sizeof addr, host, sizeof host, nullptr,
                      0, NI_NAMEREQD)
        != 0)
        return {};
    return QByteArray(host);
}

namespace hostnames {

Settings settings()
{
    std::lock_guard lock(settingsMutex);
    if (!current)
        current = fromEnvironment();
    return *current;
}

void setSettings(const Settings &settings)
{
    std::lock_guard lock(settingsMutex);
    current = settings;
}

void resetSettings()
{
    std::lock_guard lock(settingsMutex);
    current.reset();
}

QByteArray lookUp(const QByteArray &address)
{
    const QByteArray name = TcpServer::lookupHostName(address);
    const Settings s = settings();
    if (!name.isEmpty() || !s.netbios)
        return name;
    return cp1250::fromUnicode(netbios::askWorkstationName(address, s.netbiosPort,
                                                           s.netbiosTimeoutMs, s.netbiosAttempts));
}

QThreadPool *pool()
{
    // Never deleted: a lookup still waiting on the name service when the
    // console ends must not hold up its end.
    static QThreadPool *threads = [] {
        auto *p = new QThreadPool;
        p->setMaxThreadCount(PoolThreads);
        return p;
    }();
    return threads;
}

qint64 steadyMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
                   std::chrono::steady_clock::now().time_since_epoch())
            .count();
}

} // namespace hostnames

} // namespace platform
