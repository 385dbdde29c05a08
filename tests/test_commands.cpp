// The commands to the one selected computer from the window's controls, seen
// where they land: on the wire of a real agent connected over loopback, in
// the status line and the wait window. What the commander does without a
// window is tested in test_commands_core.
#include "link/processlist.h"
#include "platform/cp1250.h"
#include "shell/tfprogress.h"
#include "support/classroom.h"

#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QTreeWidget>

namespace {

using Handler = void (TFMain::*)();

Handler handlerNamed(const QByteArray &name)
{
    static const QHash<QByteArray, Handler> handlers{
            {"PowerOffMonitorButtonClick", &TFMain::PowerOffMonitorButtonClick},
            {"PowerOnMonitorButtonClick", &TFMain::PowerOnMonitorButtonClick},
            {"DisconnectKeyboardButtonClick", &TFMain::DisconnectKeyboardButtonClick},
            {"ConnectKeyboardButtonClick", &TFMain::ConnectKeyboardButtonClick},
            {"DisableMouseButtonClick", &TFMain::DisableMouseButtonClick},
            {"EnableMouseButtonClick", &TFMain::EnableMouseButtonClick},
            {"LockStartMenuButtonClick", &TFMain::LockStartMenuButtonClick},
            {"UnLockStartMenuButtonClick", &TFMain::UnLockStartMenuButtonClick},
            {"PowerOffPCButtonClick", &TFMain::PowerOffPCButtonClick},
            {"ReloadProcessListButtonClick", &TFMain::ReloadProcessListButtonClick},
            {"ScreenShootButtonClick", &TFMain::ScreenShootButtonClick},
            {"CloseProgramButtonClick", &TFMain::CloseProgramButtonClick},
            {"RunNewProgramButtonClick", &TFMain::RunNewProgramButtonClick},
    };
    if (!handlers.contains(name))
        qFatal("no handler %s", name.constData());
    return handlers.value(name);
}

// One console, one classroom name service; the console starts listening.
struct Room
{
    ClassroomNames names{QHash<QByteArray, QByteArray>{{"127.0.0.1", "SALA-1"}}};
    ConsoleFixture console;
    Room() { console.start(); }
    TFMain &main() { return console.main(); }
};

// What the previous packets left in the working record; a command sends none
// of it: every field it does not write goes out empty.
void leaveOldFields(PacketRecord &p)
{
    p.StreamSize = 77;
    packet::setFieldText(p.Bufor, "stary komunikat");
    packet::setFieldText(p.ProcName, "stary.exe");
    packet::setFieldText(p.WindowTitle, "Okno");
    p.ProcID = 4242;
}

#define COMPARE_CLEAN_FIELDS(p, except)                                                            \
    do {                                                                                           \
        QCOMPARE((p).StreamSize, 0);                                                               \
        QCOMPARE(packet::fieldText((p).Bufor).toByteArray(), QByteArray());                        \
        if (QByteArray(except) != "ProcName")                                                      \
            QCOMPARE(packet::fieldText((p).ProcName).toByteArray(), QByteArray());                 \
        QCOMPARE(packet::fieldText((p).WindowTitle).toByteArray(), QByteArray());                  \
        if (QByteArray(except) != "ProcID")                                                        \
            QCOMPARE((p).ProcID, 0u);                                                              \
    } while (false)

bool samePacket(const PacketRecord &a, const PacketRecord &b)
{
    return a.iPacketNo == b.iPacketNo && a.Pass == b.Pass && a.iCommand == b.iCommand
           && a.iFlag == b.iFlag && a.StreamSize == b.StreamSize && a.ProcID == b.ProcID
           && packet::fieldText(a.Bufor) == packet::fieldText(b.Bufor)
           && packet::fieldText(a.ProcName) == packet::fieldText(b.ProcName)
           && packet::fieldText(a.WindowTitle) == packet::fieldText(b.WindowTitle);
}

void fillProcessList(TFMain &main, quint32 secondPid)
{
    main.FillProcessList(processlist::build(
            {{"explorer.exe", "Eksplorator", 1234}, {"gra.exe", "Gra", secondPid}}));
}

QString sentLine(const QString &operation, const QString &host)
{
    return QStringLiteral("wysłano polecenie \"%1\" do: %2").arg(operation, host);
}

} // namespace

class CommandsTest : public QObject
{
    Q_OBJECT
private slots:
    void commonPattern_data()
    {
        QTest::addColumn<QByteArray>("handler");
        QTest::addColumn<int>("command");
        QTest::addColumn<int>("flag");
        QTest::addColumn<QString>("operation");
        QTest::addColumn<bool>("waitWindow");

        QTest::newRow("monitor off")
                << QByteArray("PowerOffMonitorButtonClick") << 4 << 0 << "wyłącz monitor" << false;
        QTest::newRow("monitor on")
                << QByteArray("PowerOnMonitorButtonClick") << 4 << 1 << "włącz monitor" << false;
        QTest::newRow("keyboard off") << QByteArray("DisconnectKeyboardButtonClick") << 4 << 2
                                      << "wyłącz klawiature" << false;
        QTest::newRow("keyboard on") << QByteArray("ConnectKeyboardButtonClick") << 4 << 3
                                     << "włącz klawiature" << false;
        QTest::newRow("mouse off")
                << QByteArray("DisableMouseButtonClick") << 4 << 4 << "wyłącz myszkę" << false;
        QTest::newRow("mouse on") << QByteArray("EnableMouseButtonClick") << 4 << 5 << "włącz mysz"
                                  << false;
        QTest::newRow("start menu locked") << QByteArray("LockStartMenuButtonClick") << 7 << 0
                                           << "zablokuj menu start" << false;
        QTest::newRow("start menu unlocked") << QByteArray("UnLockStartMenuButtonClick") << 8 << 0
                                             << "odblokuj menu start" << false;
        QTest::newRow("power, first choice")
                << QByteArray("PowerOffPCButtonClick") << 5 << 0 << "wył. komputer" << false;
        QTest::newRow("process list")
                << QByteArray("ReloadProcessListButtonClick") << 0 << 0 << "lista procesów" << true;
        QTest::newRow("screen preview")
                << QByteArray("ScreenShootButtonClick") << 2 << 0 << "podgląd ekranu" << true;
    }

    void commonPattern()
    {
        QFETCH(QByteArray, handler);
        QFETCH(int, command);
        QFETCH(int, flag);
        QFETCH(QString, operation);
        QFETCH(bool, waitWindow);

        Room room;
        TestAgent &agent = room.console.connectAgent();
        room.console.select(agent);
        TFMain &main = room.main();
        leaveOldFields(main.classroom().CurrentPacket);
        const qint32 numberBefore = main.classroom().CurrentPacket.iPacketNo;
        // SendPacket writes its line after the send: the wait window must be
        // up by then, since the answer may come at once.
        int sendLines = 0;
        bool waitShownAtSend = false;
        connect(main.SendStatusEdit, &QLineEdit::textChanged, main.SendStatusEdit, [&] {
            ++sendLines;
            waitShownAtSend = main.waitWindow()->isVisible();
        });

        (main.*handlerNamed(handler))();

        PacketRecord p;
        QVERIFY(agent.waitForPacket(p));
        QCOMPARE(p.Pass, packet::PassValue);
        QCOMPARE(p.iPacketNo, numberBefore + 1);
        QCOMPARE(p.iCommand, command);
        QCOMPARE(p.iFlag, flag);
        COMPARE_CLEAN_FIELDS(p, "");
        QCOMPARE(main.StatusEdit->text(), sentLine(operation, QStringLiteral("SALA-1")));
        QCOMPARE(sendLines, 1);
        QCOMPARE(waitShownAtSend, waitWindow);
        QCOMPARE(main.waitWindow()->isVisible(), waitWindow);
        QCOMPARE(main.isEnabled(), !waitWindow);
        QCOMPARE(logInfos(room.console.data, "SEND"), QList<QByteArray>{"SEND: OK"});
    }

    // The agent resets its connection just before the command: the console
    // has not yet heard of it, finds the connection, and the send fails.
    void failedSend_data() { commonPattern_data(); }
    void failedSend()
    {
        QFETCH(QByteArray, handler);
        QFETCH(QString, operation);
        QFETCH(bool, waitWindow);

        Room room;
        TestAgent &agent = room.console.connectAgent();
        room.console.select(agent);
        TFMain &main = room.main();
        agent.abort();

        (main.*handlerNamed(handler))();

        // A closed connection has no host name to tell.
        QCOMPARE(
                main.StatusEdit->text(),
                QStringLiteral("błąd podczas próby wysłania polecenia \"%1\" do: ").arg(operation));
        QVERIFY(main.SendStatusEdit->text().startsWith(QStringLiteral("brak połączenia z ")));
        // A failed request leaves the wait window to its own count-down.
        QCOMPARE(main.waitWindow()->isVisible(), waitWindow);
        QTRY_COMPARE(main.RemoteComputersListView->model()->rowCount(), 0);
    }

    void noConnection_data()
    {
        QTest::addColumn<QByteArray>("handler");
        QTest::addColumn<int>("command");
        QTest::addColumn<QString>("status");

        const QString notFound = QStringLiteral("nie znaleziono połączenia na liście");
        QTest::newRow("monitor off") << QByteArray("PowerOffMonitorButtonClick") << 4 << notFound;
        QTest::newRow("monitor on") << QByteArray("PowerOnMonitorButtonClick") << 4 << notFound;
        QTest::newRow("keyboard off")
                << QByteArray("DisconnectKeyboardButtonClick") << 4 << notFound;
        QTest::newRow("keyboard on") << QByteArray("ConnectKeyboardButtonClick") << 4 << notFound;
        QTest::newRow("mouse off") << QByteArray("DisableMouseButtonClick") << 4 << notFound;
        QTest::newRow("mouse on") << QByteArray("EnableMouseButtonClick") << 4 << notFound;
        QTest::newRow("start menu locked")
                << QByteArray("LockStartMenuButtonClick") << 7 << notFound;
        QTest::newRow("start menu unlocked")
                << QByteArray("UnLockStartMenuButtonClick") << 8 << notFound;
        QTest::newRow("power") << QByteArray("PowerOffPCButtonClick") << 5 << notFound;
        QTest::newRow("process list")
                << QByteArray("ReloadProcessListButtonClick") << 0 << notFound;
        QTest::newRow("screen preview") << QByteArray("ScreenShootButtonClick") << 2 << notFound;
        QTest::newRow("close program") << QByteArray("CloseProgramButtonClick") << 1 << notFound;
        // The run-program command shows nothing at all.
        QTest::newRow("run program") << QByteArray("RunNewProgramButtonClick") << 3 << "przed";
    }

    // The selected computer has gone: its fields still show it.
    void noConnection()
    {
        QFETCH(QByteArray, handler);
        QFETCH(QString, status);

        Room room;
        TestAgent &agent = room.console.connectAgent();
        room.console.select(agent);
        TFMain &main = room.main();
        agent.close();
        QTRY_COMPARE(main.RemoteComputersListView->model()->rowCount(), 0);
        QCOMPARE(main.RemoteIPEdit->text(), QStringLiteral("127.0.0.1"));

        fillProcessList(main, 99);
        main.ProcessListView->setCurrentItem(main.ProcessListView->topLevelItem(1));
        room.console.dialogs.inputAnswers << QStringLiteral("calc");
        main.StatusEdit->setText(QStringLiteral("przed"));
        main.SendStatusEdit->setText(QStringLiteral("przed"));

        (main.*handlerNamed(handler))();

        QCOMPARE(main.StatusEdit->text(), status);
        // Nothing went out: the last packet is still the last one sent.
        QCOMPARE(main.classroom().CurrentPacket.iCommand, 0);
        QCOMPARE(main.SendStatusEdit->text(), QStringLiteral("przed"));
        QVERIFY(!main.waitWindow()->isVisible());
        QVERIFY(logInfos(room.console.data, "SEND").isEmpty());
    }

    void closeProgram_data()
    {
        QTest::addColumn<quint32>("pid");
        QTest::newRow("ordinary") << 4711u;
        QTest::newRow("zero") << 0u;
        QTest::newRow("top bit set") << 2147483648u;
        QTest::newRow("largest") << 4294967295u;
    }

    void closeProgram()
    {
        QFETCH(quint32, pid);
        Room room;
        TestAgent &agent = room.console.connectAgent();
        room.console.select(agent);
        TFMain &main = room.main();
        fillProcessList(main, pid);
        main.ProcessListView->setCurrentItem(main.ProcessListView->topLevelItem(1));
        leaveOldFields(main.classroom().CurrentPacket);

        main.CloseProgramButton->click();

        PacketRecord p;
        QVERIFY(agent.waitForPacket(p));
        QCOMPARE(p.iCommand, 1);
        QCOMPARE(p.iFlag, 0);
        QCOMPARE(p.ProcID, pid);
        COMPARE_CLEAN_FIELDS(p, "ProcID");
        QCOMPARE(main.StatusEdit->text(),
                 sentLine(QStringLiteral("zamknij program"), QStringLiteral("SALA-1")));
        QVERIFY(room.console.dialogs.shown.isEmpty());
    }

    void closeProgramRefused_data()
    {
        QTest::addColumn<bool>("rowSelected");
        QTest::addColumn<QString>("pidText");

        QTest::newRow("no row selected") << false << "";
        QTest::newRow("letters") << true << "abc";
        QTest::newRow("negative") << true << "-5";
        QTest::newRow("empty") << true << "";
        QTest::newRow("beyond 32 bits") << true << "4294967296";
        QTest::newRow("trailing letters") << true << "12x";
    }

    // Refused: a box, nothing sent, the status line and (when no row is
    // selected) the working record as they were.
    void closeProgramRefused()
    {
        QFETCH(bool, rowSelected);
        QFETCH(QString, pidText);

        Room room;
        TestAgent &agent = room.console.connectAgent();
        room.console.select(agent);
        TFMain &main = room.main();
        fillProcessList(main, 99);
        if (rowSelected) {
            main.ProcessListView->setCurrentItem(main.ProcessListView->topLevelItem(1));
            main.ProcessListView->topLevelItem(1)->setText(2, pidText);
        }
        main.StatusEdit->setText(QStringLiteral("przed"));
        leaveOldFields(main.classroom().CurrentPacket);
        const PacketRecord before = main.classroom().CurrentPacket;

        main.CloseProgramButton->click();

        QCOMPARE(room.console.dialogs.shown.size(), 1);
        const FakeDialogs::Shown box = room.console.dialogs.shown.first();
        if (rowSelected) {
            // The standard error box, naming the text that is no number.
            QCOMPARE(box.icon, Dialogs::Icon::Critical);
            QVERIFY2(box.text.contains(QLatin1Char('\'') + pidText + QLatin1Char('\'')),
                     qPrintable(box.text));
            QVERIFY_THROWS_EXCEPTION(HandlerError, main.CloseProgramButtonClick());
        } else {
            QCOMPARE(box.text, QStringLiteral("Wybierz program z listy"));
            QVERIFY(samePacket(main.classroom().CurrentPacket, before));
        }
        QCOMPARE(main.StatusEdit->text(), QStringLiteral("przed"));

        // Nothing went out: the next command is the first thing the agent sees.
        main.PowerOnMonitorButtonClick();
        PacketRecord p;
        QVERIFY(agent.waitForPacket(p));
        QCOMPARE(p.iCommand, 4);
        QCOMPARE(p.iPacketNo, before.iPacketNo + 1);
        QCOMPARE(agent.received(), QByteArray());
    }

    // A process of one computer's list is never closed on another: the
    // teacher is told whose list it is and nothing goes out.
    void closeProgramOnlyOnItsComputer()
    {
        Room room;
        TestAgent &listed = room.console.connectAgent();
        TestAgent &other = room.console.connectAgent();
        TFMain &main = room.main();
        room.console.select(listed);
        fillProcessList(main, 4711);
        QCOMPARE(main.ProcessListView->accessibleDescription(), u"Komputer: SALA-1 (127.0.0.1)");
        main.ProcessListView->setCurrentItem(main.ProcessListView->topLevelItem(1));

        room.console.select(other);
        main.CloseProgramButton->click();
        QCOMPARE(main.StatusEdit->text(),
                 QStringLiteral("Lista programów jest z innego komputera (SALA-1): odśwież ją dla "
                                "wybranego komputera"));
        QVERIFY(room.console.dialogs.shown.isEmpty());

        // Its own computer takes it, and the other got nothing before.
        room.console.select(listed);
        main.CloseProgramButton->click();
        PacketRecord p;
        QVERIFY(listed.waitForPacket(p));
        QCOMPARE(p.ProcID, 4711u);
        main.PowerOnMonitorButtonClick();
        QVERIFY(listed.waitForPacket(p));
        QCOMPARE(other.received(), QByteArray());
    }

    void runProgram_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QByteArray>("procName");

        QTest::newRow("name") << "notepad.exe" << QByteArray("notepad.exe");
        QTest::newRow("empty") << "" << QByteArray();
        QTest::newRow("Polish letters")
                << "Kalkulator ąęź" << cp1250::fromUnicode(u"Kalkulator ąęź");
        QTest::newRow("no such characters in Windows-1250") << "程序.exe" << QByteArray("??.exe");
        QTest::newRow("longer than the field")
                << QString(300, QLatin1Char('a')) << QByteArray(254, 'a');
        QTest::newRow("longer, two-byte letters in UTF-8")
                << QString(300, QChar(0x0105)) << QByteArray(254, char(0xB9));
    }

    void runProgram()
    {
        QFETCH(QString, typed);
        QFETCH(QByteArray, procName);

        Room room;
        TestAgent &agent = room.console.connectAgent();
        room.console.select(agent);
        TFMain &main = room.main();
        leaveOldFields(main.classroom().CurrentPacket);
        main.StatusEdit->setText(QStringLiteral("przed"));
        room.console.dialogs.inputAnswers << typed;

        main.RunNewProgramButton->click();

        QCOMPARE(room.console.dialogs.shown.size(), 1);
        QCOMPARE(room.console.dialogs.shown.first().kind, FakeDialogs::Kind::Input);
        QCOMPARE(room.console.dialogs.shown.first().caption, QStringLiteral("Uruchom program"));
        QCOMPARE(room.console.dialogs.shown.first().text,
                 QStringLiteral("Wprowadź nazwę programu, np: clac aby uruchomić kalkulator"));

        const QList<QByteArray> fields = wireFields(takePacketText(agent));
        QCOMPARE(fields.size(), 9);
        QCOMPARE(fields[2], QByteArray("0"));               // iFlag
        QCOMPARE(fields[3], QByteArray("3"));               // iCommand
        QCOMPARE(fields[6], procName);                      // ProcName, as the bytes went out
        QCOMPARE(fields[5], QByteArray("0"));               // ProcID, not as the record held it
        QCOMPARE(fields[8], QByteArray());                  // Bufor, likewise
        // No outcome line of its own; the send path reports in its own line.
        QCOMPARE(main.StatusEdit->text(), QStringLiteral("przed"));
        QVERIFY(main.SendStatusEdit->text().startsWith(
                QStringLiteral("wysłano dane: iCommand: 3, iFalg: 0")));
    }

    void runProgramCancelled()
    {
        Room room;
        TestAgent &agent = room.console.connectAgent();
        room.console.select(agent);
        TFMain &main = room.main();
        leaveOldFields(main.classroom().CurrentPacket);
        const PacketRecord before = main.classroom().CurrentPacket;
        main.StatusEdit->setText(QStringLiteral("przed"));
        room.console.dialogs.inputAnswers << std::nullopt;

        main.RunNewProgramButton->click();

        QCOMPARE(room.console.dialogs.shown.size(), 1);
        QVERIFY(samePacket(main.classroom().CurrentPacket, before));
        QCOMPARE(main.StatusEdit->text(), QStringLiteral("przed"));
        main.PowerOffMonitorButtonClick();
        PacketRecord p;
        QVERIFY(agent.waitForPacket(p));
        QCOMPARE(p.iCommand, 4);
        QCOMPARE(p.iPacketNo, before.iPacketNo + 1);
    }
};

QTEST_MAIN(CommandsTest)
#include "test_commands.moc"
