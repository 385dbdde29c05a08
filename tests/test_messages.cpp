// Messages to the selected student computer and polls of the class from the
// window's controls, and the answers as the window shows them, over real
// loopback connections. The commander's sends and the answers as the
// classroom takes them are tested without a window in test_commands_core and
// test_receive_core.
#include "platform/cp1250.h"
#include "shell/pollpanel.h"
#include "shell/tfprogress.h"
#include "support/classroom.h"

#include <QComboBox>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <QTreeWidget>

namespace {

struct Room
{
    ClassroomNames names{
            QHash<QByteArray, QByteArray>{{"127.0.0.1", "SALA-1"}, {"127.0.0.2", "SALA-2"}}};
    ConsoleFixture console;
    Room() { console.start(); }
    TFMain &main() { return console.main(); }
    bool waitForRcvEntries(qsizetype count)
    {
        return QTest::qWaitFor([&] { return logInfos(console.data, "RCV").size() >= count; }, 5000);
    }
};

// An answer as the agent writes it: Bufor is everything after the eighth
// separator, whatever it holds.
QByteArray answerText(qint32 number, qint32 flag, const QByteArray &rest)
{
    return QByteArray("48213|") + QByteArray::number(number) + '|' + QByteArray::number(flag)
           + "|6|0|0|||" + rest;
}

} // namespace

class MessagesTest : public QObject
{
    Q_OBJECT
private slots:
    void sendMessage_data()
    {
        QTest::addColumn<int>("kind");
        QTest::addColumn<bool>("typed");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QByteArray>("bufor");

        QTest::newRow("plain message")
                << 0 << true << "Proszę o ciszę" << cp1250::fromUnicode(u"Proszę o ciszę");
        QTest::newRow("yes/no question") << 1 << true << "Czy skończyłeś zadanie?"
                                         << cp1250::fromUnicode(u"Czy skończyłeś zadanie?");
        QTest::newRow("typed answer")
                << 2 << true << "Jak masz na imię?" << cp1250::fromUnicode(u"Jak masz na imię?");
        QTest::newRow("text left as it starts")
                << 0 << false << "" << cp1250::fromUnicode(u"Treść");
        QTest::newRow("empty text") << 1 << true << "" << QByteArray();
        QTest::newRow("separator inside, sent unchanged")
                << 0 << true << "tak|nie" << QByteArray("tak|nie");
        QTest::newRow("euro sign and dash")
                << 0 << true << "5 € – koniec" << QByteArray("5 \x80 \x96 koniec");
        QTest::newRow("characters Windows-1250 lacks")
                << 0 << true << "Zadanie ✓ 日本" << QByteArray("Zadanie ? ??");
        QTest::newRow("longer than Bufor")
                << 2 << true << QString(2000, QLatin1Char('x')) << QByteArray(1023, 'x');
        QTest::newRow("longer, letters of two bytes in UTF-8")
                << 0 << true << QString(1500, QChar(0x017C)) << QByteArray(1023, char(0xBF));
    }

    void sendMessage()
    {
        QFETCH(int, kind);
        QFETCH(bool, typed);
        QFETCH(QString, text);
        QFETCH(QByteArray, bufor);

        Room room;
        TFMain &main = room.main();
        TestAgent &agent = room.console.connectAgent();
        room.console.select(agent);
        main.MessageTypeComboBox->setCurrentIndex(kind);
        if (typed)
            main.MessageEdit1->setText(text);
        const QString shownText = main.MessageEdit1->text();
        main.MessageAnswerMemo->setPlainText(QStringLiteral("odpowiedź brzmi: TAK"));
        PacketRecord &p = main.classroom().CurrentPacket;
        p.StreamSize = 77;
        packet::setFieldText(p.ProcName, "stary.exe");
        packet::setFieldText(p.WindowTitle, "Okno");
        p.ProcID = 4242;
        const qint32 number = p.iPacketNo;
        auto expectedText = [&](qint32 n) {
            return QByteArray("48213|") + QByteArray::number(n) + '|' + QByteArray::number(kind)
                   + "|6|0|0|||" + bufor + '|';
        };

        main.BitBtn3->click();

        QVERIFY(agent.waitForBytes(expectedText(number + 1).size()));
        QCOMPARE(agent.received(), expectedText(number + 1));
        QCOMPARE(main.StatusEdit->text(),
                 QStringLiteral("wysłano polecenie \"pokaż komunikat\" do: SALA-1"));
        QVERIFY(!main.waitWindow()->isVisible());
        QCOMPARE(main.MessageAnswerMemo->toPlainText(), QStringLiteral("odpowiedź brzmi: TAK"));
        QCOMPARE(main.MessageEdit1->text(), shownText);

        // The kind and the text stay: the same message goes again at once.
        agent.clearReceived();
        main.BitBtn3->click();
        QVERIFY(agent.waitForBytes(expectedText(number + 2).size()));
        QCOMPARE(agent.received(), expectedText(number + 2));
    }

    // The question goes to every listed computer; each answer is filed under
    // its computer, the answer field still shows the last one, and the
    // results go to the file the teacher picks, as a spreadsheet reads them.
    void pollToTheClass()
    {
        Room room;
        TFMain &main = room.main();
        TestAgent &first = connectAgentFrom(room.console, QStringLiteral("127.0.0.1"));
        TestAgent &second = connectAgentFrom(room.console, QStringLiteral("127.0.0.2"));
        selectAgent(room.console, first);
        const QString question = QStringLiteral("Skończyliście zadanie?");
        main.PollBox->findChild<QLineEdit *>(QStringLiteral("PollQuestionEdit"))->setText(question);
        main.PollBox->findChild<QPushButton *>(QStringLiteral("PollSendButton"))->click();
        for (TestAgent *agent : {&first, &second}) {
            PacketRecord p;
            QVERIFY(agent->waitForPacket(p));
            QCOMPARE(p.iCommand, 6);
            QCOMPARE(p.iFlag, 1);
            QCOMPARE(packet::fieldText(p.Bufor), cp1250::fromUnicode(question));
        }

        // Each computer numbers its own packets: equal numbers are no copies.
        second.send(answerText(5, 0, "|"));
        first.send(answerText(5, 1, "|"));
        QVERIFY(room.waitForRcvEntries(2));
        auto *tally = main.PollBox->findChild<QLabel *>(QStringLiteral("PollTallyLabel"));
        QCOMPARE(tally->text(), QStringLiteral("TAK: 1, NIE: 1, bez odpowiedzi: 0"));
        QCOMPARE(main.MessageAnswerMemo->toPlainText(), QStringLiteral("odpowiedź brzmi: TAK"));
        QCOMPARE(main.RemoteIPEdit->text(), QStringLiteral("127.0.0.1")); // the teacher's choice
        const QString path = room.console.data.root() + QStringLiteral("/wyniki.csv");
        room.console.dialogs.saveAnswers << path;
        main.PollBox->findChild<QPushButton *>(QStringLiteral("PollSaveButton"))->click();

        QFile saved(path);
        QVERIFY(saved.open(QIODevice::ReadOnly));
        const QByteArray bytes = saved.readAll();
        QVERIFY(bytes.startsWith("\xEF\xBB\xBF"));
        const QStringList lines = QString::fromUtf8(bytes.mid(3)).split(QStringLiteral("\r\n"));
        QCOMPARE(lines[0], QStringLiteral("Pytanie;") + question);
        QCOMPARE(lines.filter(QStringLiteral("SALA-1;127.0.0.1;TAK;")).size(), 1);
        QCOMPARE(lines.filter(QStringLiteral("SALA-2;127.0.0.2;NIE;")).size(), 1);
        const QList<QByteArray> entries = logInfos(room.console.data);
        QVERIFY(entries.contains(cp1250::fromUnicode(u"Ankieta wysłana do 2 komputerów (pytanie "
                                                     u"TAK / NIE): Skończyliście zadanie?")));
        QVERIFY(entries.contains(cp1250::fromUnicode(u"Zapisano wyniki ankiety: ")
                                 + path.toUtf8()));
    }

    // A plain message to the class asks nothing: it goes to each computer as
    // the message command, each selected in turn with its outcome line and
    // log entry, and the last poll's table stays as it was.
    void plainMessageToTheClass()
    {
        Room room;
        TFMain &main = room.main();
        TestAgent &first = connectAgentFrom(room.console, QStringLiteral("127.0.0.1"));
        TestAgent &second = connectAgentFrom(room.console, QStringLiteral("127.0.0.2"));
        auto *question = main.PollBox->findChild<QLineEdit *>(QStringLiteral("PollQuestionEdit"));
        auto *kinds = main.PollBox->findChild<QComboBox *>(QStringLiteral("PollKindComboBox"));
        auto *send = main.PollBox->findChild<QPushButton *>(QStringLiteral("PollSendButton"));
        auto *tally = main.PollBox->findChild<QLabel *>(QStringLiteral("PollTallyLabel"));
        question->setText(QStringLiteral("Skończyliście?"));
        send->click();
        for (TestAgent *agent : {&first, &second}) {
            PacketRecord p;
            QVERIFY(agent->waitForPacket(p));
        }
        first.send(answerText(5, 1, "|"));
        QVERIFY(room.waitForRcvEntries(1));
        const QString pollTally = QStringLiteral("TAK: 1, NIE: 0, bez odpowiedzi: 1");
        QCOMPARE(tally->text(), pollTally);
        const qsizetype entriesBefore = logInfos(room.console.data).size();

        const QString message = QStringLiteral("Koniec lekcji, zapiszcie pracę");
        kinds->setCurrentIndex(kinds->findText(QStringLiteral("Zwykła wiadomość")));
        question->setText(message);
        send->click();

        for (TestAgent *agent : {&first, &second}) {
            PacketRecord p;
            QVERIFY(agent->waitForPacket(p));
            QCOMPARE(p.iCommand, 6);
            QCOMPARE(p.iFlag, 0);
            QCOMPARE(packet::fieldText(p.Bufor), cp1250::fromUnicode(message));
        }
        QCOMPARE(tally->text(), pollTally);
        QCOMPARE(main.RemoteIPEdit->text(), QStringLiteral("127.0.0.2"));
        QCOMPARE(main.StatusEdit->text(),
                 QStringLiteral("wysłano polecenie \"pokaż komunikat\" do: SALA-2"));
        QCOMPARE(logInfos(room.console.data).mid(entriesBefore),
                 (QList<QByteArray>{"SEND: OK", "SEND: OK"}));
        QCOMPARE(room.console.data.readLog().count(cp1250::fromUnicode(u"Bufor: ")
                                                   + cp1250::fromUnicode(message)),
                 2);
    }
};

QTEST_MAIN(MessagesTest)
#include "test_messages.moc"
