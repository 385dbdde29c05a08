// Renders the real console window at its design size, with a class of
// simulated students on the "Podgląd klasy" tab, all at once, into a PNG file
// for the documentation. Runs with its own data folder and host names, so
// neither the teacher's files nor the network's name server are touched.
//
// Usage: docentor-screenshot <agent simulator> <out.png> [students]
#include "shell/tfmain.h"
#include "startup.h"

#include <QApplication>
#include <QProcess>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTest>

#include <cstdio>

namespace {

bool everyTileHasAPicture(TFMain &main, int students)
{
    const std::vector<Computer *> &computers = main.classroom().computers();
    if (int(computers.size()) < students)
        return false;
    return std::all_of(computers.begin(), computers.end(),
                       [](const Computer *c) { return !c->state.thumbnail.isNull(); });
}

} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() < 3) {
        std::fprintf(stderr, "usage: docentor-screenshot <agent simulator> <out.png> [students]\n");
        return 2;
    }
    const int students = args.size() > 3 ? args[3].toInt() : 30;
    QTemporaryDir data;
    qputenv("XDG_DATA_HOME", data.path().toLocal8Bit());
    platform::TcpServer::setHostNameResolver([](const QByteArray &address) {
        return "SALA-" + address.mid(address.lastIndexOf('.') + 1);
    });

    // The console's own port when it is free, so the picture shows it.
    AppWindows windows = createWindows();
    TFMain &main = *windows.main;
    for (int port : {6500, 0}) {
        Classroom::listenPortOverride = port;
        main.ShowLocalHostInfo();
        if (runStartupStep([&] { main.StartServer(); }))
            break;
    }
    main.resize(1444, 746);
    main.show();

    QProcess simulator;
    simulator.start(args[1], {"--port", QString::number(main.classroom().MyServer->localPort()),
                              "--students", QString::number(students), "--source-base",
                              "127.0.0.21", "--yes-no", "random", "--stream-delay", "50",
                              "--screen-size", "1280x720", "--quiet"});
    bool done = QTest::qWaitFor(
            [&] { return int(main.classroom().computers().size()) == students; }, 20000);
    main.PageControl1->setCurrentWidget(main.TabSheet5);
    done = done && QTest::qWaitFor([&] { return everyTileHasAPicture(main, students); }, 120000);
    const bool saved = done && main.grab().save(args[2]);

    simulator.terminate();
    simulator.waitForFinished(5000);
    main.closeWithoutAsking = true;
    destroyWindows(windows);
    if (!saved)
        std::fprintf(stderr, "docentor-screenshot: no picture made\n");
    return saved ? 0 : 1;
}
