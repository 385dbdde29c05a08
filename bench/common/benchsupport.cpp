#include "benchsupport.h"

#include "platform/tcpserver.h"
#include "shell/dialogs.h"
#include "shell/tfmain.h"

#include <QDate>
#include <QDir>
#include <QEvent>
#include <QFile>
#include <QMetaEnum>
#include <QSysInfo>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <thread>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

namespace bench {

namespace {

// A benchmark never waits for a person: every box is answered at once.
class QuietDialogs : public Dialogs
{
public:
    void message(QWidget *, const QString &, const QString &text, Icon) override
    {
        std::fprintf(stderr, "box: %s\n", qPrintable(text));
    }
    bool question(QWidget *, const QString &, const QString &) override { return true; }
    bool inputText(QWidget *, const QString &, const QString &, QString &) override
    {
        return false;
    }
    QString saveFileName(QWidget *, const QString &, const QString &, const QString &) override
    {
        return {};
    }
};

QuietDialogs quietDialogs;

bool writeText(int fd, const char *text)
{
    const size_t size = std::strlen(text);
    return ::write(fd, text, size) == ssize_t(size);
}

// The value after the colon of the first line that begins with prefix
// (files of /proc tell no size, so they are read to their end).
QString firstLineOf(const QString &path, const QString &prefix)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    for (const QByteArray &bytes : file.readAll().split('\n')) {
        const QString line = QString::fromUtf8(bytes);
        if (line.startsWith(prefix))
            return line.mid(line.indexOf(QLatin1Char(':')) + 1).simplified();
    }
    return {};
}

} // namespace

void prepareEnvironment()
{
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    Dialogs::install(&quietDialogs);
}

// --- PrivateHome -------------------------------------------------------------

PrivateHome::PrivateHome()
{
    QDir(m_dir.path()).mkdir(QStringLiteral("data"));
    QDir(m_dir.path()).mkdir(QStringLiteral("run"));
    QFile::setPermissions(m_dir.path() + QStringLiteral("/run"),
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    qputenv("XDG_DATA_HOME", QFile::encodeName(m_dir.path() + QStringLiteral("/data")));
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(m_dir.path() + QStringLiteral("/run")));
    qputenv("DOCENTOR_UPDATE_HOST", "http://127.0.0.1:1");
}

PrivateHome::~PrivateHome()
{
    qunsetenv("XDG_DATA_HOME");
    qunsetenv("XDG_RUNTIME_DIR");
    qunsetenv("DOCENTOR_UPDATE_HOST");
}

QString PrivateHome::logFolder() const
{
    return m_dir.path() + QStringLiteral("/data/Mervix-Tablor/log");
}

int PrivateHome::countLogEntries(const QByteArray &info) const
{
    const QByteArray wanted = "Info: " + info + "\r";
    const QDir folder(logFolder());
    int count = 0;
    for (const QString &name : folder.entryList({QStringLiteral("ADMIN_*.txt")}, QDir::Files)) {
        QFile file(folder.filePath(name));
        if (!file.open(QIODevice::ReadOnly))
            continue;
        for (const QByteArray &line : file.readAll().split('\n')) {
            if (line == wanted)
                ++count;
        }
    }
    return count;
}

// --- Console -----------------------------------------------------------------

Console::Console()
{
    Classroom::listenPortOverride = 0;
    m_windows = createWindows();
    main().ShowLocalHostInfo();
    main().StartServer();
    m_port = main().classroom().MyServer->localPort();
    main().show();
}

Console::~Console()
{
    destroyWindows(m_windows);
    Classroom::listenPortOverride = -1;
}

// --- LocalNames --------------------------------------------------------------

LocalNames::LocalNames(int roundTripMs)
{
    platform::TcpServer::setHostNameResolver([roundTripMs](const QByteArray &address) {
        if (roundTripMs > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(roundTripMs));
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        char host[NI_MAXHOST];
        if (::getnameinfo(reinterpret_cast<sockaddr *>(&addr), sizeof addr, host, sizeof host,
                          nullptr, 0, NI_NAMEREQD)
            != 0)
            return QByteArray();
        return QByteArray("PC-") + address.mid(address.indexOf('.', 4) + 1);
    });
}

LocalNames::~LocalNames()
{
    platform::TcpServer::setHostNameResolver({});
}

// --- Agents ------------------------------------------------------------------

QByteArray agentAddress(int index)
{
    const int n = index + 1; // 127.0.0.1 is the console's own address
    return "127.0." + QByteArray::number(n / 250) + '.' + QByteArray::number(1 + n % 250);
}

int connectAgent(quint16 port, const char *sourceAddress)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (sourceAddress) {
        sockaddr_in from{};
        from.sin_family = AF_INET;
        ::inet_pton(AF_INET, sourceAddress, &from.sin_addr);
        if (::bind(fd, reinterpret_cast<sockaddr *>(&from), sizeof from) < 0) {
            ::close(fd);
            return -1;
        }
    }
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(port);
    if (::connect(fd, reinterpret_cast<sockaddr *>(&to), sizeof to) < 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

bool sendAll(int fd, const char *data, size_t size)
{
    while (size > 0) {
        const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data += n;
        size -= size_t(n);
    }
    return true;
}

bool sendAll(int fd, const QByteArray &bytes)
{
    return sendAll(fd, bytes.constData(), size_t(bytes.size()));
}

void closeAll(std::vector<int> &fds)
{
    for (int fd : fds) {
        if (fd >= 0)
            ::close(fd);
    }
    fds.clear();
}

QByteArray packetText(qint32 number, qint32 command, qint32 flag, qint32 streamSize)
{
    PacketRecord p;
    p.Pass = packet::PassValue;
    p.iPacketNo = number;
    p.iCommand = command;
    p.iFlag = flag;
    p.StreamSize = streamSize;
    return FormatPacketText(p);
}

int listenLoopback(quint16 &port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    if (::bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) < 0
        || ::listen(fd, platform::TcpServer::ListenBacklog) < 0) {
        ::close(fd);
        return -1;
    }
    socklen_t len = sizeof addr;
    ::getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len);
    port = ntohs(addr.sin_port);
    return fd;
}

// --- Memory, limits, statistics ------------------------------------------------

qint64 residentKiB()
{
    const QString value
            = firstLineOf(QStringLiteral("/proc/self/status"), QStringLiteral("VmRSS:"));
    return value.section(QLatin1Char(' '), 0, 0).toLongLong();
}

qint64 raiseFileLimit()
{
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return -1;
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
    ::getrlimit(RLIMIT_NOFILE, &limit);
    return qint64(limit.rlim_cur);
}

double median(std::vector<double> values)
{
    return percentile(std::move(values), 50);
}

double percentile(std::vector<double> values, double p)
{
    // A failed round (NaN) makes the whole figure fail rather than vanish.
    if (values.empty()
        || std::any_of(values.begin(), values.end(), [](double v) { return std::isnan(v); }))
        return NAN;
    std::sort(values.begin(), values.end());
    const double rank = std::ceil(p / 100.0 * double(values.size()));
    const size_t index = size_t(std::clamp(rank, 1.0, double(values.size()))) - 1;
    return values[index];
}

double maximum(const std::vector<double> &values)
{
    return values.empty() ? NAN : *std::max_element(values.begin(), values.end());
}

// --- Output --------------------------------------------------------------------

void printMachine()
{
    const QString cpu = firstLineOf(QStringLiteral("/proc/cpuinfo"), QStringLiteral("model name"));
    const QString memory
            = firstLineOf(QStringLiteral("/proc/meminfo"), QStringLiteral("MemTotal:"));
    std::printf("MACHINE\t%ld processors, %s, %s memory, %s, %s, %s\n",
                ::sysconf(_SC_NPROCESSORS_ONLN), qPrintable(cpu), qPrintable(memory),
                qPrintable(QSysInfo::prettyProductName()), qPrintable(QSysInfo::kernelVersion()),
                qPrintable(QDate::currentDate().toString(Qt::ISODate)));
    std::fflush(stdout);
}

void printResult(const QString &benchmark, const QString &caseName, double console, double floor,
                 const QString &unit, Better better, const QString &target)
{
    const auto number = [](double v) {
        return std::isnan(v) ? QStringLiteral("-") : QString::number(v, 'g', 4);
    };
    double ratio = NAN;
    if (!std::isnan(floor) && floor > 0 && console > 0)
        ratio = better == Better::Lower ? console / floor : floor / console;
    std::printf("RESULT\t%s\t%s\t%s\t%s\t%s\t%s\t%s\n", qPrintable(benchmark), qPrintable(caseName),
                qPrintable(number(console)), qPrintable(number(floor)), qPrintable(unit),
                qPrintable(std::isnan(ratio) ? QStringLiteral("-")
                                             : QString::number(ratio, 'f', 2) + QLatin1Char('x')),
                qPrintable(target.isEmpty() ? QStringLiteral("-") : target));
    std::fflush(stdout);
}

void printNote(const QString &text)
{
    std::printf("NOTE\t%s\n", qPrintable(text));
    std::fflush(stdout);
}

bool TimedApplication::notify(QObject *receiver, QEvent *event)
{
    if (!m_timing || m_depth > 0)
        return QApplication::notify(receiver, event);
    // Named before: the receiver and the event may be gone after.
    const QString name
            = QStringLiteral("%1 to %2")
                      .arg(QString::fromLatin1(
                              QMetaEnum::fromType<QEvent::Type>().valueToKey(event->type())))
                      .arg(QString::fromLatin1(receiver->metaObject()->className()));
    const Clock::time_point begin = Clock::now();
    ++m_depth;
    const bool handled = QApplication::notify(receiver, event);
    --m_depth;
    const double ms = msBetween(begin, Clock::now());
    Kind &kind = m_kinds[name];
    ++kind.count;
    kind.totalMs += ms;
    kind.longestMs = std::max(kind.longestMs, ms);
    return handled;
}

void TimedApplication::startTiming()
{
    m_kinds.clear();
    m_timing = true;
}

QStringList TimedApplication::stopTiming(int kinds)
{
    m_timing = false;
    std::vector<std::pair<QString, Kind>> sorted(m_kinds.keyValueBegin(), m_kinds.keyValueEnd());
    std::sort(sorted.begin(), sorted.end(),
              [](const auto &a, const auto &b) { return a.second.totalMs > b.second.totalMs; });
    QStringList lines;
    for (size_t i = 0; i < sorted.size() && int(i) < kinds; ++i) {
        const Kind &k = sorted[i].second;
        lines << QStringLiteral("event %1: %2 times, %3 ms in all, longest %4 ms")
                         .arg(sorted[i].first)
                         .arg(k.count)
                         .arg(k.totalMs, 0, 'f', 1)
                         .arg(k.longestMs, 0, 'f', 1);
    }
    return lines;
}

namespace {

// Tells perf a command and waits for its answer, so that the span's first
// and last moments are inside and outside the profile for certain.
void tellProfiler(const char *command)
{
    const QByteArray control = qgetenv("BENCH_PERF_CONTROL");
    if (control.isEmpty())
        return;
    const int fd = ::open(control.constData(), O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        return;
    const bool told = writeText(fd, command);
    ::close(fd);
    const QByteArray ack = qgetenv("BENCH_PERF_ACK");
    if (!told || ack.isEmpty())
        return;
    const int in = ::open(ack.constData(), O_RDONLY | O_CLOEXEC);
    if (in < 0)
        return;
    char answer[16];
    [[maybe_unused]] const ssize_t n = ::read(in, answer, sizeof answer);
    ::close(in);
}

} // namespace

ProfiledSpan::ProfiledSpan()
{
    tellProfiler("enable\n");
}

ProfiledSpan::~ProfiledSpan()
{
    tellProfiler("disable\n");
}

} // namespace bench
