// Names: a room of 30 computers that the name service does not know, each
// answering the NetBIOS query for its name, connects at once. Figures: how
// long after its connect each computer's name shows in the list (the worst
// of the room), and how long an event posted to the window waits meanwhile;
// then the same with a name service that takes a second over each lookup.
#include "benchsupport.h"

#include "platform/hostnames.h"
#include "platform/netbios.h"
#include "platform/tcpserver.h"
#include "shell/tfmain.h"

#include <QEventLoop>
#include <QTimer>
#include <QTreeView>
#include <QtEndian>

#include <arpa/inet.h>
#include <atomic>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using namespace bench;

namespace {

constexpr int Computers = 30;

// The room's NetBIOS side on a thread of its own, so that the window's
// thread carries only the console.
class Room
{
public:
    Room()
    {
        for (int i = 0; i < Computers; ++i) {
            const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
            sockaddr_in addr{};
            addr.sin_family = AF_INET;
            ::inet_pton(AF_INET, agentAddress(i).constData(), &addr.sin_addr);
            addr.sin_port = htons(port);
            ::bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
            socklen_t len = sizeof addr;
            ::getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len);
            port = ntohs(addr.sin_port);
            fds.push_back({fd, POLLIN, 0});
        }
        thread = std::thread([this] { serve(); });
    }
    ~Room()
    {
        running = false;
        thread.join();
        for (const pollfd &p : fds)
            ::close(p.fd);
    }
    quint16 port = 0;

private:
    void serve()
    {
        while (running.load()) {
            if (::poll(fds.data(), fds.size(), 20) <= 0)
                continue;
            for (size_t i = 0; i < fds.size(); ++i) {
                if (!(fds[i].revents & POLLIN))
                    continue;
                char query[576];
                sockaddr_in from{};
                socklen_t len = sizeof from;
                const ssize_t n = ::recvfrom(fds[i].fd, query, sizeof query, 0,
                                             reinterpret_cast<sockaddr *>(&from), &len);
                if (n < 2)
                    continue;
                const QByteArray name = "SALA-" + QByteArray::number(int(i) + 1);
                const QByteArray answer = netbios::nodeStatusAnswer(qFromBigEndian<quint16>(query),
                                                                    {{name, 0x00, false}});
                ::sendto(fds[i].fd, answer.constData(), size_t(answer.size()), 0,
                         reinterpret_cast<sockaddr *>(&from), len);
            }
        }
    }
    std::vector<pollfd> fds;
    std::atomic<bool> running{true};
    std::thread thread;
};

struct Figures
{
    double worstNameMs = NAN; // the longest from a connect to its name shown
    std::vector<double> waits;
};

Figures round(int lookupMs)
{
    Figures figures;
    PrivateHome home;
    Room room;
    platform::hostnames::Settings settings;
    settings.netbiosPort = room.port;
    platform::hostnames::setSettings(settings);
    platform::TcpServer::setHostNameResolver([lookupMs](const QByteArray &) {
        std::this_thread::sleep_for(std::chrono::milliseconds(lookupMs));
        return QByteArray();
    });
    Console console;
    QTreeView *list = console.main().RemoteComputersListView;
    QEventLoop loop;

    std::atomic<bool> probing{true};
    std::mutex waitsMutex;
    std::thread prober([&] {
        while (probing.load()) {
            const Clock::time_point posted = Clock::now();
            QMetaObject::invokeMethod(
                    &console.main(),
                    [&, posted] {
                        std::lock_guard lock(waitsMutex);
                        figures.waits.push_back(msBetween(posted, Clock::now()));
                    },
                    Qt::QueuedConnection);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });

    std::vector<Clock::time_point> connected(Computers);
    QHash<QString, Clock::time_point> named;
    QObject::connect(list->model(), &QAbstractItemModel::dataChanged, &loop, [&] {
        for (int r = 0; r < list->model()->rowCount(); ++r) {
            const QString address = list->model()->index(r, 0).data().toString();
            if (!list->model()->index(r, 1).data().toString().isEmpty() && !named.contains(address))
                named.insert(address, Clock::now());
        }
        if (named.size() == Computers)
            loop.quit();
    });
    std::vector<int> fds(Computers, -1);
    std::thread connector([&] {
        for (int i = 0; i < Computers; ++i) {
            connected[size_t(i)] = Clock::now();
            fds[size_t(i)] = connectAgent(console.port(), agentAddress(i).constData());
        }
    });
    QTimer::singleShot(30000, &loop, &QEventLoop::quit);
    loop.exec();
    connector.join();
    probing = false;
    prober.join();
    if (named.size() == Computers) {
        figures.worstNameMs = 0;
        for (int i = 0; i < Computers; ++i) {
            const Clock::time_point shown = named.value(QString::fromLatin1(agentAddress(i)));
            figures.worstNameMs
                    = std::max(figures.worstNameMs, msBetween(connected[size_t(i)], shown));
        }
    }
    closeAll(fds);
    platform::TcpServer::setHostNameResolver({});
    platform::hostnames::resetSettings();
    return figures;
}

void report(const QString &caseName, const Figures &f)
{
    printResult(QStringLiteral("names"), caseName + QStringLiteral(": all names shown, worst"),
                f.worstNameMs, NAN, QStringLiteral("ms"), Better::Lower,
                QStringLiteral("<= 1000 ms"));
    printResult(QStringLiteral("names"),
                caseName + QStringLiteral(": posted event wait, p99 of %1").arg(f.waits.size()),
                percentile(f.waits, 99), NAN, QStringLiteral("ms"), Better::Lower,
                QStringLiteral("<= 20 ms"));
}

} // namespace

int main(int argc, char **argv)
{
    prepareEnvironment();
    TimedApplication app(argc, argv);
    printMachine();
    const QString room = QStringLiteral("%1 computers").arg(Computers);
    report(room + QStringLiteral(", no reverse records"), round(0));
    report(room + QStringLiteral(", 1 s name server"), round(1000));
    return 0;
}
