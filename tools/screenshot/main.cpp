// Renders the real console window at its design size, with a class of
// simulated students on the "Podgląd klasy" tab, all at once, into a PNG file
// for the documentation. Runs with its own data folder and host names, so
// neither the teacher's files nor the network's name server are touched.
//
// Usage: docentor-screenshot <agent simulator> <out.png> [students] [room|watch]
//   room:  the tiles laid out as a room plan (two rows of desks each side of
//          an aisle), placed by a plan file written beforehand;
//   watch: one student watched in "Podgląd ekranu", opened as a double-click
//          on its tile opens it.
#include "shell/tfmain.h"
#include "startup.h"
#include "storage/datafolder.h"
#include "storage/roomplan.h"
#include "storage/settings.h"

#include <QApplication>
#include <QProcess>
#include <QStatusBar>
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

// Eight desks a row, the rows walked as the teacher walks them: left to
// right, then back right to left; the simulator's students are SALA-21
// onwards.
void writeRoomPlan(int students)
{
    roomplan::Plan plan;
    plan.resize(8, (students + 7) / 8);
    for (int i = 0; i < students; ++i) {
        const int row = i / 8;
        const int desk = row % 2 == 0 ? i % 8 : 7 - i % 8;
        plan.place(QStringLiteral("SALA-%1").arg(21 + i), {desk, row});
    }
    roomplan::save(GetDataFolder(), plan);
    WriteSetting("<OVERVIEW ROOM>", "TRUE");
}

// The first student, as a double-click on its tile opens it; done once its
// watched picture is shown.
bool watchOne(TFMain &main)
{
    main.OverviewTileDoubleClick(0);
    return QTest::qWaitFor(
            [&] {
                return main.ScreenStatusBar->currentMessage().contains(QStringLiteral("obraz z"));
            },
            20000);
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
    const QString mode = args.value(4);
    QTemporaryDir data;
    qputenv("XDG_DATA_HOME", data.path().toLocal8Bit());
    if (mode == QLatin1String("room"))
        writeRoomPlan(students);
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
    if (mode == QLatin1String("watch"))
        done = done && watchOne(main);
    const bool saved = done && main.grab().save(args[2]);

    simulator.terminate();
    simulator.waitForFinished(5000);
    main.closeWithoutAsking = true;
    destroyWindows(windows);
    if (!saved)
        std::fprintf(stderr, "docentor-screenshot: no picture made\n");
    return saved ? 0 : 1;
}
