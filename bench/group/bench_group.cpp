// Group command: "Wyłącz monitor" for every listed computer, over 40 and 400
// connected agents, each from its own address. Figure: the time of the whole
// walk (and per computer), against what the walk must do in a plain loop
// without the window: format the same packets, send them on the same
// connections and write the same day-log entries ("SEND: OK" with the
// packet's dump) to a file kept open.
#include "benchsupport.h"

#include "link/packet.h"
#include "shell/tfmain.h"
#include "storage/eventlog.h"

#include <QApplication>
#include <QDateTime>
#include <QEventLoop>
#include <QFile>
#include <QTimer>
#include <QTreeWidget>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace bench;

namespace {

// Takes what each agent has received and checks that it is exactly one
// packet text with the command; false otherwise.
bool eachGotOne(const std::vector<int> &fds, qint32 command, qint32 flag)
{
    bool all = true;
    for (int fd : fds) {
        QByteArray text;
        char buffer[4096];
        ssize_t n;
        while ((n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT)) > 0)
            text.append(buffer, n);
        PacketRecord p;
        ParsePacketText(text, p);
        if (text.count('|') != 9 || p.iCommand != command || p.iFlag != flag)
            all = false;
    }
    return all;
}

} // namespace

int main(int argc, char **argv)
{
    prepareEnvironment();
    QApplication app(argc, argv);
    const bool quick = app.arguments().contains(QStringLiteral("--quick"));
    raiseFileLimit();
    printMachine();
    printNote(QStringLiteral("group and scale: reverse name lookups are local ones (a hosts-file "
                             "lookup of 127.0.0.1 for each), so that no query leaves the machine"));

    // "--agents=N" walks only that class, "--rounds=N" that many times
    // (for bench/profile.sh).
    int rounds = quick ? 1 : 5;
    std::vector<int> classes{40, 400};
    for (const QString &a : app.arguments()) {
        if (a.startsWith(QStringLiteral("--agents=")))
            classes = {a.mid(9).toInt()};
        else if (a.startsWith(QStringLiteral("--rounds=")))
            rounds = a.mid(9).toInt();
    }
    for (const int agents : classes) {
        PrivateHome home;
        LocalNames names;
        Console console;
        TFMain &main = console.main();
        std::vector<int> fds;
        for (int a = 0; a < agents; ++a)
            fds.push_back(connectAgent(console.port(), agentAddress(a).constData()));
        QEventLoop loop;
        QTimer poll;
        QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
            if (main.RemoteComputersListView->model()->rowCount() == agents)
                loop.quit();
        });
        poll.start(5);
        loop.exec();
        poll.stop();

        const QByteArray floorLogPath = QFile::encodeName(home.path() + "/floor-log.txt");
        const int floorLog
                = ::open(floorLogPath.constData(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
        bool floorLogFailed = floorLog < 0;
        std::vector<double> walks, floors;
        PacketRecord record;
        record.iCommand = packet::Device;
        record.iFlag = packet::MonitorOff;
        for (int r = 0; r < rounds; ++r) {
            // Console and floor take turns, so that a busy moment of the
            // machine falls on both.
            const Clock::time_point begin = Clock::now();
            {
                ProfiledSpan profiled;
                main.GroupPowerOffMonitorButtonClick();
            }
            const Clock::time_point end = Clock::now();
            QCoreApplication::processEvents();
            walks.push_back(eachGotOne(fds, packet::Device, packet::MonitorOff)
                                    ? msBetween(begin, end)
                                    : NAN);

            const Clock::time_point floorBegin = Clock::now();
            for (int i = 0; i < main.classroom().MyServer->activeConnections(); ++i) {
                record.Pass = packet::PassValue;
                ++record.iPacketNo;
                const QByteArray text = FormatPacketText(record);
                main.classroom().MyServer->connection(i)->send(text.constData(), text.size());
                const eventlog::PacketDump dump = packet::logDump(record);
                const QByteArray entry = eventlog::formatEntry(QDateTime::currentDateTime(),
                                                               "SEND: OK", true, &dump);
                if (::write(floorLog, entry.constData(), size_t(entry.size())) != entry.size())
                    floorLogFailed = true;
            }
            const Clock::time_point floorEnd = Clock::now();
            floors.push_back(eachGotOne(fds, packet::Device, packet::MonitorOff)
                                     ? msBetween(floorBegin, floorEnd)
                                     : NAN);
        }
        closeAll(fds);
        if (floorLog >= 0)
            ::close(floorLog);
        if (floorLogFailed)
            floors.assign(floors.size(), NAN);

        printResult(QStringLiteral("group"), QStringLiteral("walk over %1 agents").arg(agents),
                    median(walks), median(floors), QStringLiteral("ms"), Better::Lower,
                    QStringLiteral("<= 2x"));
        printResult(QStringLiteral("group"), QStringLiteral("per computer, %1 agents").arg(agents),
                    median(walks) * 1000 / agents, median(floors) * 1000 / agents,
                    QStringLiteral("us"), Better::Lower, QStringLiteral("<= 2x"));
    }
    return 0;
}
