// The commands to every listed computer from the window's buttons: a walk
// over the computer list in its order, seen on real agents that connect from
// distinct loopback addresses, in the selection fields and the wait window.
// The walk without a window is tested in test_commands_core. The power
// choice, which the single computer's list and the group's share, is here
// for both.
#include "shell/tfprogress.h"
#include "support/classroom.h"

#include <QComboBox>
#include <QDir>
#include <QEvent>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QTreeWidget>

namespace {

using Button = QPushButton *TFMain::*;

Button buttonNamed(const QByteArray &name)
{
    static const QHash<QByteArray, Button> buttons{
            {"GroupPowerOffMonitorButton", &TFMain::GroupPowerOffMonitorButton},
            {"GroupPowerOnMonitorButton", &TFMain::GroupPowerOnMonitorButton},
            {"GroupLockMouseButton", &TFMain::GroupLockMouseButton},
            {"GroupUnLockMouseButton", &TFMain::GroupUnLockMouseButton},
            {"GroupLockKeyboardButton", &TFMain::GroupLockKeyboardButton},
            {"GroupUnLockKeyboardButton", &TFMain::GroupUnLockKeyboardButton},
            {"DisableStartMenuAllButton", &TFMain::DisableStartMenuAllButton},
            {"EnableStartMenuAllButton", &TFMain::EnableStartMenuAllButton},
            {"GroupPowerOffPCButton", &TFMain::GroupPowerOffPCButton},
            {"LockClassButton", &TFMain::LockClassButton},
            {"UnlockClassButton", &TFMain::UnlockClassButton},
            {"GroupRunProgramButton", &TFMain::GroupRunProgramButton},
    };
    if (!buttons.contains(name))
        qFatal("no button %s", name.constData());
    return buttons.value(name);
}

struct Room
{
    ClassroomNames names{QHash<QByteArray, QByteArray>{{"127.0.0.1", "SALA-1"},
                                                       {"127.0.0.2", "SALA-2"},
                                                       {"127.0.0.3", "SALA-3"},
                                                       {"127.0.0.9", "SALA-9"},
                                                       {"127.0.0.10", "SALA-10"}}};
    ConsoleFixture console;
    Room() { console.start(); }
    TFMain &main() { return console.main(); }
};

// What the walk did at each send: which computer was selected and whether
// the wait window was up.
struct SendRecord
{
    QStringList selected;
    QList<bool> waitShown;
};

void recordSends(TFMain &main, SendRecord &record)
{
    QObject::connect(main.SendStatusEdit, &QLineEdit::textChanged, main.SendStatusEdit, [&] {
        record.selected << main.RemoteIPEdit->text();
        record.waitShown << main.waitWindow()->isVisible();
    });
}

class VisibilityLog : public QObject
{
public:
    QStringList events;
    bool eventFilter(QObject *, QEvent *event) override
    {
        if (event->type() == QEvent::Show)
            events << QStringLiteral("shown");
        else if (event->type() == QEvent::Hide)
            events << QStringLiteral("hidden");
        return false;
    }
};

QString sentLine(const QString &operation, const QString &host)
{
    return QStringLiteral("wysłano polecenie \"%1\" do: %2").arg(operation, host);
}

} // namespace

class GroupTest : public QObject
{
    Q_OBJECT
private slots:
    void everyButton_data()
    {
        QTest::addColumn<QByteArray>("button");
        QTest::addColumn<QString>("caption");
        // What each computer receives, in order: command and flag.
        QTest::addColumn<QList<QPoint>>("packets");
        QTest::addColumn<QStringList>("operations");
        QTest::addColumn<QString>("program"); // typed into the dialog, if one asks

        auto row = [](const char *name, const char *button, const QString &caption,
                      const QList<QPoint> &packets, const QStringList &operations,
                      const QString &program = {}) {
            QTest::newRow(name) << QByteArray(button) << caption << packets << operations
                                << program;
        };
        row("monitor off", "GroupPowerOffMonitorButton", "Wyłącz monitor", {{4, 0}},
            {"wyłącz monitor"});
        row("monitor on", "GroupPowerOnMonitorButton", "Włącz monitor", {{4, 1}},
            {"włącz monitor"});
        row("mouse off", "GroupLockMouseButton", "Odłącz mysz", {{4, 4}}, {"wyłącz myszkę"});
        row("mouse on", "GroupUnLockMouseButton", "Podłącz mysz", {{4, 5}}, {"włącz mysz"});
        row("keyboard off", "GroupLockKeyboardButton", "Odłącz klawiaturę", {{4, 2}},
            {"wyłącz klawiature"});
        row("keyboard on", "GroupUnLockKeyboardButton", "Podłącz klawiaturę", {{4, 3}},
            {"włącz klawiature"});
        row("start menu locked", "DisableStartMenuAllButton", "Wyłącz menu start", {{7, 0}},
            {"zablokuj menu start"});
        row("start menu unlocked", "EnableStartMenuAllButton", "Włącz menu start", {{8, 0}},
            {"odblokuj menu start"});
        row("power", "GroupPowerOffPCButton", "Zastosuj", {{5, 0}}, {"wył. komputer"});
        row("class locked", "LockClassButton", "Zablokuj klasę", {{4, 0}, {4, 2}, {4, 4}},
            {"wyłącz monitor", "wyłącz klawiature", "wyłącz myszkę"});
        row("class released", "UnlockClassButton", "Odblokuj klasę", {{4, 1}, {4, 3}, {4, 5}},
            {"włącz monitor", "włącz klawiature", "włącz mysz"});
        // Running a program reports no outcome of its own.
        row("a program for all", "GroupRunProgramButton", "Uruchom program u wszystkich", {{3, 0}},
            {}, "mspaint");
    }

    // Three computers; the rows go by the text of their addresses, so
    // 127.0.0.10 comes before 127.0.0.2 and 127.0.0.9.
    void everyButton()
    {
        QFETCH(QByteArray, button);
        QFETCH(QString, caption);
        QFETCH(QList<QPoint>, packets);
        QFETCH(QStringList, operations);
        QFETCH(QString, program);

        Room room;
        TFMain &main = room.main();
        TestAgent &nine = connectAgentFrom(room.console, QStringLiteral("127.0.0.9"));
        TestAgent &two = connectAgentFrom(room.console, QStringLiteral("127.0.0.2"));
        TestAgent &ten = connectAgentFrom(room.console, QStringLiteral("127.0.0.10"));
        selectAgent(room.console, two);
        if (!program.isEmpty())
            room.console.dialogs.inputAnswers << program;
        SendRecord sends;
        recordSends(main, sends);
        QStringList statusLines;
        connect(main.StatusEdit, &QLineEdit::textChanged, main.StatusEdit,
                [&](const QString &text) { statusLines << text; });
        QPushButton *pressed = main.*buttonNamed(button);
        QCOMPARE(pressed->text(), caption);
        QCOMPARE(pressed->accessibleName(), caption);
        VisibilityLog visibility;
        main.waitWindow()->installEventFilter(&visibility);

        pressed->click();

        // One walk: each computer gets the whole series before the next one.
        QStringList selected;
        QStringList expectedLines;
        for (const char *host : {"10", "2", "9"}) {
            for (const QString &operation : operations)
                expectedLines << sentLine(operation, QStringLiteral("SALA-") + QLatin1String(host));
            for (qsizetype i = 0; i < packets.size(); ++i)
                selected << QStringLiteral("127.0.0.") + QLatin1String(host);
        }
        QCOMPARE(sends.selected, selected);
        QCOMPARE(sends.waitShown, QList<bool>(selected.size(), true));
        QCOMPARE(statusLines, expectedLines);
        for (TestAgent *agent : {&ten, &two, &nine}) {
            for (const QPoint &expected : packets) {
                PacketRecord p;
                QVERIFY(agent->waitForPacket(p));
                QCOMPARE(p.iCommand, expected.x());
                QCOMPARE(p.iFlag, expected.y());
                QCOMPARE(packet::fieldText(p.ProcName).toByteArray(), program.toLatin1());
            }
        }
        // The last row stays selected.
        QCOMPARE(main.RemoteIPEdit->text(), QStringLiteral("127.0.0.9"));
        QCOMPARE(main.RemoteNameEdit->text(), QStringLiteral("SALA-9"));
        QCOMPARE(main.RemotePortEdit->text(), QString::number(nine.localPort()));
        QVERIFY(!main.waitWindow()->isVisible());
        QVERIFY(main.isEnabled());
        QCOMPARE(visibility.events, (QStringList{"shown", "hidden"}));
        QCOMPARE(main.waitWindow()->ProgressBar->maximum(), 3);
        QCOMPARE(main.waitWindow()->ProgressBar->value(), 3);
    }

    // "Włącz komputery" from the window: a damaged list is refused with the
    // teacher's message and kept aside; the status line counts the computers.
    void wakeButtonTellsTheTeacher()
    {
        Room room;
        TFMain &main = room.main();
        QCOMPARE(main.WakeComputersButton->accessibleName(), QStringLiteral("Włącz komputery"));
        QVERIFY(QDir().mkpath(room.console.data.dataFolder()));
        room.console.data.writeFile(QStringLiteral("komputery.txt"), "zepsuty\r\n");

        main.WakeComputersButton->click();

        QCOMPARE(room.console.dialogs.shown.size(), 1);
        QVERIFY2(room.console.dialogs.shown.first().text.startsWith(
                         QStringLiteral("Lista komputerów do włączania „")),
                 qPrintable(room.console.dialogs.shown.first().text));
        QCOMPARE(main.StatusEdit->text(),
                 QStringLiteral("Wysłano sygnał włączenia do 0 komputerów"));
        QCOMPARE(QDir(room.console.data.dataFolder())
                         .entryList({QStringLiteral("komputery.txt.uszkodzony-*")})
                         .size(),
                 1);
    }

    // Two agents on one computer: each row's command goes to its own
    // connection, and the walk leaves the last one selected.
    void twoRowsOneAddress()
    {
        Room room;
        TFMain &main = room.main();
        TestAgent &first = room.console.connectAgent();
        TestAgent &second = room.console.connectAgent();

        main.GroupPowerOnMonitorButton->click();

        PacketRecord p;
        QVERIFY(first.waitForPacket(p));
        QCOMPARE(p.iPacketNo, 1);
        QVERIFY(second.waitForPacket(p));
        QCOMPARE(p.iPacketNo, 2);
        QCOMPARE(p.iFlag, 1);
        QCOMPARE(main.RemotePortEdit->text(), QString::number(second.localPort()));
        QCOMPARE(main.RemoteComputersListView->currentIndex().row(), 1);
        QCOMPARE(first.received(), QByteArray());
        // With the first gone, the next command goes to the second.
        first.close();
        QTRY_COMPARE(main.RemoteComputersListView->model()->rowCount(), 1);
        room.console.selectRow(0);
        main.PowerOffMonitorButtonClick();
        QVERIFY(second.waitForPacket(p));
        QCOMPARE(p.iPacketNo, 3);
        QCOMPARE(p.iFlag, 0);
    }

    // The power choice of the single computer's list goes out as its flag.
    void powerChoice_data()
    {
        QTest::addColumn<int>("choice");
        QTest::newRow("Wyłącz komputer") << 0;
        QTest::newRow("Wyloguj") << 1;
        QTest::newRow("Zrestartuj") << 2;
    }

    void powerChoice()
    {
        QFETCH(int, choice);
        Room room;
        TestAgent &agent = room.console.connectAgent();
        room.console.select(agent);
        TFMain &main = room.main();
        main.PowerOffPCOption->setCurrentIndex(choice);

        main.PowerOffPCButton->click();

        PacketRecord p;
        QVERIFY(agent.waitForPacket(p));
        QCOMPARE(p.iCommand, 5);
        QCOMPARE(p.iFlag, choice);
        QCOMPARE(main.StatusEdit->text(),
                 sentLine(QStringLiteral("wył. komputer"), QStringLiteral("SALA-1")));
    }

    void powerChoiceMirrored_data()
    {
        QTest::addColumn<int>("stepsDown");
        QTest::addColumn<QString>("shown");
        QTest::newRow("Wyloguj") << 1 << "Wyloguj";
        QTest::newRow("Zrestartuj") << 2 << "Zrestartuj";
        QTest::newRow("past the end") << 3 << "Zrestartuj";
    }

    void powerChoiceMirrored()
    {
        QFETCH(int, stepsDown);
        QFETCH(QString, shown);
        Room room;
        TFMain &main = room.main();
        QSignalSpy groupHandlerRaised(main.GroupPowerOffPCOption, &QComboBox::activated);

        for (int i = 0; i < stepsDown; ++i)
            QTest::keyClick(main.PowerOffPCOption, Qt::Key_Down);

        QCOMPARE(main.PowerOffPCOption->currentText(), shown);
        QCOMPARE(main.GroupPowerOffPCOption->currentText(), shown);
        QCOMPARE(groupHandlerRaised.count(), 0);
    }

    void powerChoiceFromEitherList_data()
    {
        QTest::addColumn<bool>("groupList");
        QTest::addColumn<int>("stepsDown");
        QTest::addColumn<QString>("shown");

        QTest::newRow("Wyloguj in the single computer's list") << false << 1 << "Wyloguj";
        QTest::newRow("Wyloguj in the group's list") << true << 1 << "Wyloguj";
        QTest::newRow("Zrestartuj in the group's list") << true << 2 << "Zrestartuj";
        QTest::newRow("back to Wyłącz komputer in the group's list")
                << true << 0 << "Wyłącz komputer";
    }

    // The two lists show one choice; picking in one does not raise the
    // other's handler; the group sends the choice to every computer.
    void powerChoiceFromEitherList()
    {
        QFETCH(bool, groupList);
        QFETCH(int, stepsDown);
        QFETCH(QString, shown);

        Room room;
        TFMain &main = room.main();
        TestAgent &first = connectAgentFrom(room.console, QStringLiteral("127.0.0.1"));
        TestAgent &second = connectAgentFrom(room.console, QStringLiteral("127.0.0.2"));
        QComboBox *picked = groupList ? main.GroupPowerOffPCOption : main.PowerOffPCOption;
        QComboBox *mirror = groupList ? main.PowerOffPCOption : main.GroupPowerOffPCOption;
        if (stepsDown == 0) {
            // From the last item back to the first.
            QTest::keyClick(picked, Qt::Key_End);
            QCOMPARE(mirror->currentIndex(), 2);
            QTest::keyClick(picked, Qt::Key_Home);
        }
        QSignalSpy mirrorHandlerRaised(mirror, &QComboBox::activated);
        for (int i = 0; i < stepsDown; ++i)
            QTest::keyClick(picked, Qt::Key_Down);

        QCOMPARE(picked->currentText(), shown);
        QCOMPARE(mirror->currentText(), shown);
        QCOMPARE(mirrorHandlerRaised.count(), 0);

        main.GroupPowerOffPCButton->click();

        for (TestAgent *agent : {&first, &second}) {
            PacketRecord p;
            QVERIFY(agent->waitForPacket(p));
            QCOMPARE(p.iCommand, 5);
            QCOMPARE(p.iFlag, picked->currentIndex());
        }
        QCOMPARE(main.StatusEdit->text(),
                 sentLine(QStringLiteral("wył. komputer"), QStringLiteral("SALA-2")));
    }

    void emptyList()
    {
        Room room;
        TFMain &main = room.main();
        main.StatusEdit->setText(QStringLiteral("przed"));
        main.waitWindow()->ProgressBar->setMaximum(100);
        VisibilityLog visibility;
        main.waitWindow()->installEventFilter(&visibility);

        main.GroupLockKeyboardButton->click();

        QCOMPARE(visibility.events, (QStringList{"shown", "hidden"}));
        QCOMPARE(main.waitWindow()->ProgressBar->maximum(), 0);
        QVERIFY(main.isEnabled());
        QCOMPARE(main.StatusEdit->text(), QStringLiteral("przed"));
        QCOMPARE(main.SendStatusEdit->text(), QString());
        QVERIFY(logInfos(room.console.data, "SEND").isEmpty());
        main.waitWindow()->removeEventFilter(&visibility);
    }
};

QTEST_MAIN(GroupTest)
#include "test_group.moc"
