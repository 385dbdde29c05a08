// A question to the whole class: the table of answers, its spreadsheet file,
// the screen pictures kept as evidence, and what the day log says of them.
#include "commands/poll.h"
#include "platform/cp1250.h"
#include "storage/evidence.h"
#include "support/links.h"
#include "support/samples.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSignalSpy>
#include <QTest>

#ifndef Q_OS_WIN
#include <sys/stat.h>
#endif

namespace {

const QDateTime Start(QDate(2026, 12, 8), QTime(14, 5, 3));

struct Answer
{
    int computer; // index into the class; -1 for a connection outside the poll
    qint32 command;
    qint32 flag;
    QByteArray bufor;
};

PacketRecord answerPacket(qint32 command, qint32 flag, const QByteArray &bufor)
{
    PacketRecord packet;
    packet.iCommand = command;
    packet.iFlag = flag;
    packet::setFieldText(packet.Bufor, bufor);
    return packet;
}

// Connections stand for themselves: anything a shared pointer holds. Past
// the given number of addresses, the last one is shared by the rest.
struct Class
{
    QList<std::shared_ptr<int>> connections;
    QList<Poll::Computer> computers;
    explicit Class(int size, int addresses = 0)
    {
        for (int i = 1; i <= size; ++i) {
            const int address = addresses > 0 ? std::min(i, addresses) : i;
            connections.append(std::make_shared<int>(i));
            computers.append({connections.last(), QStringLiteral("SALA-%1").arg(address),
                              QStringLiteral("127.0.0.%1").arg(address)});
        }
    }
};

// Windows keeps the data folder private by its access list, not by modes.
#ifdef Q_OS_WIN
#define COMPARE_MODE(path, mode) ((void)0)
#else
#define COMPARE_MODE(path, mode) QCOMPARE(modeOf(path), mode)
int modeOf(const QString &path)
{
    struct stat st = {};
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0 ? int(st.st_mode & 07777) : -1;
}
#endif

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Reads the file as a spreadsheet does: a record ends at CR LF outside
// quotes, a doubled quote inside quotes is one quote. No byte-order mark, a
// bare line break or an open quote gives nothing.
QList<QStringList> readCsv(const QByteArray &bytes)
{
    const QString text = QString::fromUtf8(bytes.mid(3));
    QList<QStringList> rows(1);
    QString cell;
    bool quoted = false;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (c == u'"' && quoted && text.mid(i + 1, 1) == u"\"")
            cell += text.at(++i);
        else if (c == u'"')
            quoted = !quoted;
        else if (quoted || (c != u';' && c != u'\r' && c != u'\n'))
            cell += c;
        else if (c == u';')
            rows.last().append(std::exchange(cell, {}));
        else if (c == u'\r' && text.mid(i + 1, 1) == u"\n") {
            rows.last().append(std::exchange(cell, {}));
            rows.append(QStringList());
            ++i;
        } else
            return {};
    }
    if (!bytes.startsWith("\xEF\xBB\xBF") || quoted || !cell.isEmpty() || !rows.last().isEmpty())
        return {};
    rows.removeLast();
    return rows;
}

} // namespace

Q_DECLARE_METATYPE(QList<Answer>)

class PollTest : public QObject
{
    Q_OBJECT
private slots:
    void tally_data()
    {
        QTest::addColumn<int>("kind");
        QTest::addColumn<QList<Answer>>("answers");
        QTest::addColumn<QString>("tally");
        QTest::addColumn<QStringList>("column");
        QTest::addColumn<int>("size");
        QTest::addColumn<int>("addresses");
        auto row = [](const char *name, Poll::Kind kind, const QList<Answer> &answers,
                      const char *tally, const QStringList &column, int size = 3,
                      int addresses = 0) {
            QTest::newRow(name) << int(kind) << answers << QString::fromUtf8(tally) << column
                                << size << addresses;
        };

        row("yes/no, nobody yet", Poll::YesNo, {}, "TAK: 0, NIE: 0, bez odpowiedzi: 3",
            {"", "", ""});
        row("yes/no, two answers, one from outside the poll", Poll::YesNo,
            {{0, 6, 1, "|"}, {-1, 6, 1, "|"}, {2, 6, 0, "|"}}, "TAK: 1, NIE: 1, bez odpowiedzi: 1",
            {"TAK", "", "NIE"});
        row("yes/no, a second answer does not rewrite the first", Poll::YesNo,
            {{0, 6, 1, "|"}, {0, 6, 0, "|"}}, "TAK: 1, NIE: 0, bez odpowiedzi: 2", {"TAK", "", ""});
        row("yes/no, typed, other flags and commands left out", Poll::YesNo,
            {{0, 6, 2, "Tak|"}, {1, 6, 3, "|"}, {1, 1, 1, "|"}, {2, 6, 0, "|"}},
            "TAK: 0, NIE: 1, bez odpowiedzi: 2", {"", "", "NIE"});
        row("typed, closing separator dropped, the student's own kept", Poll::Typed,
            {{0, 6, 2, cp1250::fromUnicode(u"Zażółć|")}, {1, 6, 2, "a|b||"}, {2, 6, 2, "bez"}},
            "odpowiedzi: 3 z 3", {"Zażółć", "a|b|", "bez"});
        row("typed, empty answer counts, yes/no left out", Poll::Typed,
            {{0, 6, 2, "|"}, {1, 6, 1, "|"}, {-1, 6, 2, "x|"}}, "odpowiedzi: 1 z 3", {"", "", ""});
        // A program beside the agent, or posing as it, has no vote of its
        // own: an address counts once, with its first answer.
        row("yes/no, four connections from one address vote once", Poll::YesNo,
            {{0, 6, 1, "|"}, {1, 6, 0, "|"}, {2, 6, 1, "|"}, {3, 6, 1, "|"}, {4, 6, 1, "|"}},
            "TAK: 1, NIE: 1, bez odpowiedzi: 0", {"TAK", "NIE", "TAK", "TAK", "TAK"}, 5, 2);
        row("typed, one address of four connections is one computer", Poll::Typed,
            {{1, 6, 2, "a|"}, {2, 6, 2, "b|"}}, "odpowiedzi: 1 z 2", {"", "a", "b", "", ""}, 5, 2);
    }

    void tally()
    {
        QFETCH(int, kind);
        QFETCH(QList<Answer>, answers);
        QFETCH(QString, tally);
        QFETCH(QStringList, column);
        QFETCH(int, size);
        QFETCH(int, addresses);

        Class room(size, addresses);
        const auto stranger = std::make_shared<int>(0); // a connection outside the poll
        Poll poll;
        QSignalSpy changed(&poll, &Poll::changed);
        poll.start(QStringLiteral("Czy skończyłeś?"), Poll::Kind(kind), room.computers, Start);
        int filed = 0;
        for (const Answer &a : answers) {
            const Poll::Key key = a.computer < 0 ? Poll::Key(stranger)
                                                 : Poll::Key(room.connections.at(a.computer));
            filed += int(poll.record(key, answerPacket(a.command, a.flag, a.bufor)));
        }

        QCOMPARE(poll.tally(), tally);
        QCOMPARE(changed.size(), 1 + filed);
        QStringList shown;
        for (const Poll::Row &row : poll.rows())
            shown.append(row.answer);
        QCOMPARE(shown, column);
    }

    void newPollReplacesOld()
    {
        Class room(3);
        Poll poll;
        poll.start(QStringLiteral("Pierwsze?"), Poll::YesNo, room.computers, Start);
        QVERIFY(poll.record(room.connections.at(0), answerPacket(6, 1, "|"), Start.addSecs(61)));
        QCOMPARE(poll.rows().at(0).time, QStringLiteral("14:06:04"));

        // To the last two computers, one of them listed twice.
        poll.start(QStringLiteral("Drugie?"), Poll::Typed,
                   {room.computers.at(1), room.computers.at(2), room.computers.at(1)});
        QCOMPARE(poll.tally(), QStringLiteral("odpowiedzi: 0 z 2"));
        QVERIFY(!poll.record(room.connections.at(0), answerPacket(6, 2, "Stare|")));
        QVERIFY(poll.record(room.connections.at(2), answerPacket(6, 2, "Nowe|"), Start));
        // A released connection is not mistaken for a later one.
        room.connections[1].reset();
        room.computers[1].key.reset();
        QVERIFY(!poll.record(std::make_shared<int>(2), answerPacket(6, 2, "Podszyty|")));
        QVERIFY(!poll.record(Poll::Key(), answerPacket(6, 2, "Nikt|")));
        QCOMPARE(poll.tally(), QStringLiteral("odpowiedzi: 1 z 2"));
        const QList<Poll::Row> rows = poll.rows();
        QCOMPARE(rows.size(), 2);
        QCOMPARE((QStringList{rows[1].computer, rows[1].address, rows[1].answer, rows[1].time}),
                 (QStringList{"SALA-3", "127.0.0.3", "Nowe", "14:05:03"}));

        // The question goes out as a message of the poll's kind; the rest of
        // the packet is left as it was.
        PacketRecord packet = answerPacket(0, 0, "stare");
        packet.ProcID = 77;
        poll.fillPacket(packet);
        QCOMPARE((QList<qint64>{packet.iCommand, packet.iFlag, packet.ProcID}),
                 (QList<qint64>{6, 2, 77}));
        QCOMPARE(packet::fieldText(packet.Bufor), "Drugie?");
        poll.start(QStringLiteral("Gotowe?"), Poll::YesNo, {});
        poll.fillPacket(packet);
        QCOMPARE(packet.iFlag, 1);
    }

    void resultsAsSpreadsheet()
    {
        TempDataHome data;
        Class room(5);
        room.computers[3].hostName = QStringLiteral("=HYPERLINK(\"x\")");
        Poll poll;
        poll.start(QStringLiteral("Co \"wiesz\";\nnapisz"), Poll::Typed, room.computers, Start);
        // The last holds a line feed and nothing else to quote for.
        const char16_t *typed[]
                = {u"=SUM(A1:A9)|", u"+48 600;-1|", u"@cmd\r\nżółw|", u"linia\ndruga|"};
        for (int i = 0; i < 4; ++i)
            poll.record(room.connections.at(i),
                        answerPacket(6, 2, cp1250::fromUnicode(QStringView(typed[i]))),
                        Start.addSecs(i));
        poll.logSent(4);

        const QString proposed = evidence::proposedPollPath(Start);
        QCOMPARE(proposed, data.dataFolder() + "/ankiety/2026-12-08_14-05-03.csv");
        const evidence::Saved saved = poll.saveResults(proposed);
        QCOMPARE(saved.path, proposed);
        COMPARE_MODE(data.dataFolder() + "/ankiety", 0700);
        COMPARE_MODE(saved.path, 0600);
        const QList<QStringList> expected{
                {"Pytanie", "Co \"wiesz\";\nnapisz"},
                {"Czas", "2026-12-08 14:05:03"},
                {""},
                {"Komputer", "Adres IP", "Odpowiedź", "Czas"},
                {"SALA-1", "127.0.0.1", "'=SUM(A1:A9)", "14:05:03"},
                {"SALA-2", "127.0.0.2", "'+48 600;-1", "14:05:04"},
                {"SALA-3", "127.0.0.3", "'@cmd\r\nżółw", "14:05:05"},
                {"'=HYPERLINK(\"x\")", "127.0.0.4", "linia\ndruga", "14:05:06"},
                {"SALA-5", "127.0.0.5", "", ""},
        };
        QCOMPARE(readCsv(readAll(saved.path)), expected);

        // A second save keeps the first file.
        const evidence::Saved again = poll.saveResults(proposed);
        QCOMPARE(again.path, data.dataFolder() + "/ankiety/2026-12-08_14-05-03_2.csv");
        QCOMPARE(readAll(again.path), readAll(saved.path));
        const evidence::Saved nowhere = poll.saveResults(data.root() + "/x/y.csv");
        QCOMPARE(nowhere.error, ENOENT);

        // The question is the teacher's; the students' answers stay out.
        QCOMPARE(logInfos(data),
                 (QList<QByteArray>{
                         cp1250::fromUnicode(u"Ankieta wysłana do 4 komputerów (odpowiedź "
                                             u"wpisywana): Co \"wiesz\";\\x0Anapisz"),
                         cp1250::fromUnicode(u"Zapisano wyniki ankiety: ") + saved.path.toUtf8(),
                         cp1250::fromUnicode(u"Zapisano wyniki ankiety: ") + again.path.toUtf8(),
                         cp1250::fromUnicode(u"Błąd zapisu pliku: ") + nowhere.path.toUtf8()}));
        poll.start({}, Poll::YesNo, {});
        poll.logSent(1);
        QCOMPARE(logInfos(data).last(),
                 cp1250::fromUnicode(u"Ankieta wysłana do 1 komputera (pytanie TAK / NIE): "));
    }

    void safeNames_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("name");
        auto row = [](const char *name, const QString &text, const QString &safe) {
            QTest::newRow(name) << text << safe;
        };
        const QString face = QString::fromUtf16(u"\U0001F600");

        row("climbing up", "../../etc", "_.._etc");
        row("both separators", "a/b\\c", "a_b_c");
        row("terminal escape", "\x1b[2J", "_[2J");
        row("empty", "", "nieznany");
        row("only dots", "....", "nieznany");
        row("hidden, trailing dot and blank", " .sala 12. ", "sala 12");
        row("Polish letters", "Pracownia-ąę", "Pracownia-ąę");
        row("names other systems refuse", "C:*?<>|\"", "C_______");
        row("direction turned, line break", QString::fromUtf16(u"pc\u202Egpj.exe\u2028x"),
            "pc_gpj.exe_x");
        row("300 letters", QString(300, u'x'), QString(80, u'x'));
        row("300 letters of two bytes", QString(300, u'ą'), QString(40, u'ą'));
        row("cut not inside a character", "x" + face.repeated(30), "x" + face.repeated(19));
    }

    void safeNames()
    {
        QFETCH(QString, text);
        QFETCH(QString, name);
        QCOMPARE(evidence::safeNameComponent(text), name);
    }

    void picturesKeptAsSent()
    {
        TempDataHome data;
        const QByteArray jpeg = jpegBytes(quarteredPicture(64, 48));
        const QString folder = data.dataFolder() + "/obrazy";
        // A folder left open by someone is closed before anything goes in.
        QVERIFY(QDir().mkpath(folder));
#ifndef Q_OS_WIN
        QVERIFY(::chmod(QFile::encodeName(folder).constData(), 0755) == 0);
#endif

        const evidence::Picture picture{"../../etc", "127.0.0.5", jpeg, Start};
        const evidence::Saved first = evidence::savePicture(picture);
        QCOMPARE(first.path, folder + "/_.._etc_127.0.0.5_2026-12-08_14-05-03.jpg");
        QCOMPARE(readAll(first.path), jpeg);
        COMPARE_MODE(folder, 0700);
        COMPARE_MODE(first.path, 0600);

        const QList<evidence::Picture> all{
                {"SALA-1", "127.0.0.1", jpeg, Start},
                {"SALA-2", "127.0.0.2", jpegBytes(quarteredPicture(32, 32)), Start.addSecs(-5)}};
        const evidence::SavedAll saved = evidence::saveAllPictures(all, Start.addSecs(60));
        QCOMPARE(saved.path, folder + "/2026-12-08_14-06-03");
        QCOMPARE(saved.files,
                 (QStringList{saved.path + "/SALA-1_127.0.0.1_2026-12-08_14-05-03.jpg",
                              saved.path + "/SALA-2_127.0.0.2_2026-12-08_14-04-58.jpg"}));
        QCOMPARE(readAll(saved.files.value(1)), all.at(1).jpeg);
        QCOMPARE(readAll(saved.files.value(0)), jpeg);
        COMPARE_MODE(saved.path, 0700);
        COMPARE_MODE(saved.files.value(1), 0600);
        QVERIFY(evidence::saveAllPictures({}, Start).path.isEmpty());

        QList<QByteArray> expected;
        for (const QString &path : QStringList{first.path} + saved.files)
            expected.append("Zapisano obraz: " + path.toUtf8());
        QCOMPARE(logInfos(data), expected);
    }

    void plantedLinkNotFollowed_data()
    {
        QTest::addColumn<QString>("link");
        QTest::addColumn<QString>("written"); // empty: the save is refused

        const QString picture = "obrazy/SALA-1_127.0.0.1_2026-12-08_14-05-03";
        QTest::newRow("at the picture") << picture + ".jpg" << picture + "_2.jpg";
        QTest::newRow("at the pictures folder") << "obrazy"
                                                << "";
        QTest::newRow("at the folder of all pictures")
                << "obrazy/2026-12-08_14-05-03"
                << "obrazy/2026-12-08_14-05-03_2/SALA-1_127.0.0.1_2026-12-08_14-05-03.jpg";
        QTest::newRow("at the poll results") << "ankiety/wyniki.csv"
                                             << "ankiety/wyniki_2.csv";
    }

    void plantedLinkNotFollowed()
    {
        QFETCH(QString, link);
        QFETCH(QString, written);

        TempDataHome data;
        const QString outside = data.root() + "/outside";
        const QString at = data.dataFolder() + '/' + link;
        QVERIFY(QDir().mkpath(QFileInfo(at).path()) && QDir().mkpath(outside));
        data.writeFile("../../outside/victim", "untouched");
        const bool folder = !link.contains('.');
        if (const QString why = links::plant(folder ? outside : outside + "/victim", at);
            !why.isEmpty())
            QSKIP(qPrintable(why));

        const evidence::Picture picture{"SALA-1", "127.0.0.1", "\xFF\xD8\xFF\xD9", Start};
        evidence::Saved saved;
        if (link.startsWith("ankiety")) {
            saved = Poll().saveResults(at);
        } else if (link.contains('/') && folder) {
            const evidence::SavedAll all = evidence::saveAllPictures({picture}, Start);
            saved = {all.files.value(0, all.path), all.error};
        } else {
            saved = evidence::savePicture(picture);
        }

        QCOMPARE(saved.ok(), !written.isEmpty());
        QCOMPARE(saved.path, written.isEmpty() ? saved.path : data.dataFolder() + '/' + written);
        QVERIFY(links::isLink(at));
        QCOMPARE(QDir(outside).entryList(QDir::NoDotAndDotDot | QDir::AllEntries),
                 QStringList{"victim"});
        QCOMPARE(readAll(outside + "/victim"), "untouched");
        const QList<QByteArray> log = logInfos(data);
        QCOMPARE(log.size(), 1);
        QVERIFY(log.at(0).startsWith(saved.ok() ? QByteArray("Zapisano ")
                                                : cp1250::fromUnicode(u"Błąd zapisu pliku: ")));
    }
};

QTEST_MAIN(PollTest)
#include "test_poll.moc"
