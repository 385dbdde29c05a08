// The packet record and its text form: what goes out on the wire, and how
// whatever comes in is taken into the record.
#include "link/packet.h"

#include <QRandomGenerator>
#include <QTest>

#include <cstring>
#include <limits>

namespace {

constexpr qint32 Pass = packet::PassValue;

PacketRecord record(qint32 number, qint32 command, qint32 flag, qint32 streamSize = 0,
                    quint32 procId = 0, const QByteArray &procName = {},
                    const QByteArray &windowTitle = {}, const QByteArray &bufor = {},
                    qint32 pass = Pass)
{
    PacketRecord p;
    p.Pass = pass;
    p.iPacketNo = number;
    p.iCommand = command;
    p.iFlag = flag;
    p.StreamSize = streamSize;
    p.ProcID = procId;
    packet::setFieldText(p.ProcName, procName);
    packet::setFieldText(p.WindowTitle, windowTitle);
    packet::setFieldText(p.Bufor, bufor);
    return p;
}

// A record that differs from any parsed text in every field, to tell which
// fields a text has touched.
PacketRecord previous()
{
    return record(555, 77, 66, 4444, 3333, "stary.exe", "Stare okno", "stary tekst", 999);
}

QByteArray text(const char (&field)[1024])
{
    return packet::fieldText(field).toByteArray();
}
QByteArray text(const char (&field)[255])
{
    return packet::fieldText(field).toByteArray();
}

// Every byte of the record, so that two records compare whole, padding of the
// text fields included (a parse must leave nothing stale behind a new text).
bool sameBytes(const PacketRecord &a, const PacketRecord &b)
{
    return a.iPacketNo == b.iPacketNo && a.Pass == b.Pass && a.iCommand == b.iCommand
           && a.iFlag == b.iFlag && a.StreamSize == b.StreamSize && a.ProcID == b.ProcID
           && std::memcmp(a.Bufor, b.Bufor, sizeof a.Bufor) == 0
           && std::memcmp(a.ProcName, b.ProcName, sizeof a.ProcName) == 0
           && std::memcmp(a.WindowTitle, b.WindowTitle, sizeof a.WindowTitle) == 0;
}

QByteArray describe(const PacketRecord &p)
{
    return "Pass " + QByteArray::number(p.Pass) + " No " + QByteArray::number(p.iPacketNo) + " Cmd "
           + QByteArray::number(p.iCommand) + " Flag " + QByteArray::number(p.iFlag) + " Stream "
           + QByteArray::number(p.StreamSize) + " ProcID " + QByteArray::number(p.ProcID)
           + " ProcName [" + text(p.ProcName) + "] Title [" + text(p.WindowTitle) + "] Bufor ["
           + text(p.Bufor) + "]";
}

// A literal with its zero bytes, without the closing one.
template<std::size_t N>
QByteArray bytes(const char (&literal)[N])
{
    return QByteArray(literal, qsizetype(N - 1));
}

bool terminatedWithinWidth(const PacketRecord &p)
{
    return std::memchr(p.Bufor, 0, sizeof p.Bufor) && std::memchr(p.ProcName, 0, sizeof p.ProcName)
           && std::memchr(p.WindowTitle, 0, sizeof p.WindowTitle);
}

} // namespace

Q_DECLARE_METATYPE(PacketRecord)

class PacketTest : public QObject
{
    Q_OBJECT
private slots:
    void formatsFieldsInWireOrder_data();
    void formatsFieldsInWireOrder();
    void formatLeavesRecordUntouched();

    void parsesIntoRecord_data();
    void parsesIntoRecord();

    void roundTrips_data();
    void roundTrips();

    void fieldTextIsCutToWidth_data();
    void fieldTextIsCutToWidth();

    void survivesHostileText_data();
    void survivesHostileText();
};

void PacketTest::formatsFieldsInWireOrder_data()
{
    QTest::addColumn<PacketRecord>("packet");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("monitor on, packet 7") << record(7, 4, 1) << QByteArray("48213|7|1|4|0|0||||");
    QTest::newRow("typed-answer message Ala")
            << record(12, 6, 2, 0, 0, {}, {}, "Ala") << QByteArray("48213|12|2|6|0|0|||Ala|");
    QTest::newRow("negative flag") << record(3, 4, -1) << QByteArray("48213|3|-1|4|0|0||||");
    QTest::newRow("largest process id")
            << record(1, 1, 0, 0, 4294967295u) << QByteArray("48213|1|0|1|0|4294967295||||");
    QTest::newRow("bar inside a name goes out unchanged")
            << record(2, 3, 0, 0, 0, "a|b.exe") << QByteArray("48213|2|0|3|0|0|a|b.exe|||");
    QTest::newRow("all texts and a stream size")
            << record(9, 0, 0, 61440, 1234, "notepad.exe", "Bez tytu\xb3u", "tekst")
            << QByteArray("48213|9|0|0|61440|1234|notepad.exe|Bez tytu\xb3u|tekst|");
    QTest::newRow("wrong pass value is written as held")
            << record(1, 2, 0, 0, 0, {}, {}, {}, -7) << QByteArray("-7|1|0|2|0|0||||");
    QTest::newRow("Windows-1250 bytes pass as they are")
            << record(5, 6, 0, 0, 0, {}, {}, "za\xbf\xf3\xb3\xe6 g\xea\x9c")
            << QByteArray("48213|5|0|6|0|0|||za\xbf\xf3\xb3\xe6 g\xea\x9c|");
}

void PacketTest::formatsFieldsInWireOrder()
{
    QFETCH(PacketRecord, packet);
    QFETCH(QByteArray, expected);
    QCOMPARE(FormatPacketText(packet), expected);
}

void PacketTest::formatLeavesRecordUntouched()
{
    // The longest record there is: every number at its widest, every text full.
    PacketRecord p = record(std::numeric_limits<qint32>::min(), std::numeric_limits<qint32>::min(),
                            std::numeric_limits<qint32>::min(), std::numeric_limits<qint32>::min(),
                            std::numeric_limits<quint32>::max(), QByteArray(254, 'n'),
                            QByteArray(254, 't'), QByteArray(1023, 'b'),
                            std::numeric_limits<qint32>::min());
    const PacketRecord before = p;
    const QByteArray out = FormatPacketText(p);
    QVERIFY(sameBytes(p, before));
    QCOMPARE(out.size(), 1605);
    QCOMPARE(out.size(), packet::MaxTextLength);
    QVERIFY(out.endsWith(QByteArray(1023, 'b') + '|'));
    QCOMPARE(out.count('|'), 9);
    QVERIFY(!out.contains('\0'));
}

void PacketTest::parsesIntoRecord_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<PacketRecord>("expected");

    const PacketRecord old = previous();
    auto with = [&old](auto change) {
        PacketRecord p = old;
        change(p);
        return p;
    };

    QTest::newRow("typed answer keeps its closing bar")
            << QByteArray("48213|12|2|6|0|0|||Ala|") << record(12, 6, 2, 0, 0, {}, {}, "Ala|");
    QTest::newRow("no bar at all: only Bufor")
            << QByteArray("48213 12 2 6")
            << with([](PacketRecord &p) { packet::setFieldText(p.Bufor, "48213 12 2 6"); });
    QTest::newRow("three bars: pass, number, flag, rest in Bufor")
            << QByteArray("48213|40|1|6 0 reszta") << with([](PacketRecord &p) {
                   p.Pass = 48213;
                   p.iPacketNo = 40;
                   p.iFlag = 1;
                   packet::setFieldText(p.Bufor, "6 0 reszta");
               });
    QTest::newRow("eight bars: every field but the texts after them")
            << QByteArray("1|2|3|4|5|6|nazwa|tytul|")
            << record(2, 4, 3, 5, 6, "nazwa", "tytul", "", 1);
    QTest::newRow("empty text: only Bufor, emptied")
            << QByteArray() << with([](PacketRecord &p) { packet::setFieldText(p.Bufor, ""); });
    QTest::newRow("number with trailing letters")
            << QByteArray("48213| 15abc|0|1|0|0||||") << record(15, 1, 0, 0, 0, {}, {}, "|");
    QTest::newRow("white space and plus sign before numbers")
            << QByteArray("\t48213|+8| \t-3|1|0|0||||") << record(8, 1, -3, 0, 0, {}, {}, "|");
    QTest::newRow("empty and non-numeric numbers read as 0")
            << QByteArray("48213||abc|-|+|x1|||") << record(0, 0, 0, 0, 0, {}, {}, {});
    QTest::newRow("negative numbers") << QByteArray("-48213|-1|-2|-3|-4|0|||")
                                      << record(-1, -3, -2, -4, 0, {}, {}, {}, -48213);
    QTest::newRow("largest process id")
            << QByteArray("48213|1|0|1|0|4294967295|||") << record(1, 1, 0, 0, 4294967295u);
    QTest::newRow("numbers beyond the type stop at its limit")
            << QByteArray("48213|99999999999|-99999999999|1|0|99999999999|||")
            << record(std::numeric_limits<qint32>::max(), 1, std::numeric_limits<qint32>::min(), 0,
                      std::numeric_limits<quint32>::max());
    QTest::newRow("smallest signed number") << QByteArray("48213|-2147483648|0|1|0|0|||")
                                            << record(std::numeric_limits<qint32>::min(), 1, 0);
    QTest::newRow("bar inside a process name shifts the later fields")
            << FormatPacketText(record(2, 3, 0, 0, 0, "a|b.exe", "okno", "tekst"))
            << record(2, 3, 0, 0, 0, "a", "b.exe", "okno|tekst|");
    QTest::newRow("zero byte ends a text field") << bytes("48213|1|0|1|0|0|ab\0cd|ti\0tle|bu\0for|")
                                                 << record(1, 1, 0, 0, 0, "ab", "ti", "bu");
    QTest::newRow("overlong Bufor is cut to 1023 bytes")
            << QByteArray("48213|1|0|1|0|0|||") + QByteArray(5000, 'x')
            << record(1, 1, 0, 0, 0, {}, {}, QByteArray(1023, 'x'));
    QTest::newRow("overlong names are cut to 254 bytes")
            << QByteArray("48213|1|0|1|0|0|") + QByteArray(300, 'p') + '|' + QByteArray(255, 't')
                       + "|b|"
            << record(1, 1, 0, 0, 0, QByteArray(254, 'p'), QByteArray(254, 't'), "b|");
    QTest::newRow("texts exactly at their widths are kept whole")
            << QByteArray("48213|1|0|1|0|0|") + QByteArray(254, 'p') + '|' + QByteArray(254, 't')
                       + '|' + QByteArray(1023, 'b')
            << record(1, 1, 0, 0, 0, QByteArray(254, 'p'), QByteArray(254, 't'),
                      QByteArray(1023, 'b'));
    QTest::newRow("Windows-1250 answer") << QByteArray("48213|3|2|6|0|0|||Tak, prosz\xea pani|")
                                         << record(3, 6, 2, 0, 0, {}, {}, "Tak, prosz\xea pani|");
}

void PacketTest::parsesIntoRecord()
{
    QFETCH(QByteArray, input);
    QFETCH(PacketRecord, expected);
    PacketRecord p = previous();
    ParsePacketText(input, p);
    if (!sameBytes(p, expected))
        qWarning("got      %s\nexpected %s", describe(p).constData(),
                 describe(expected).constData());
    QVERIFY(sameBytes(p, expected));
}

void PacketTest::roundTrips_data()
{
    QTest::addColumn<PacketRecord>("packet");
    QTest::newRow("command") << record(1, 4, 0);
    QTest::newRow("message") << record(41, 6, 1, 0, 0, {}, {}, "Czy sko\xf1\x63zy\xb3\x65\x9c?");
    QTest::newRow("start program") << record(100, 3, 0, 0, 0, "calc.exe", "Kalkulator");
    QTest::newRow("close process") << record(2147483647, 1, 0, 0, 4294967295u);
    QTest::newRow("negative values") << record(-5, -6, -7, -8, 0, {}, {}, {}, -9);
    QTest::newRow("full texts") << record(8, 6, 2, 12, 13, QByteArray(254, 'n'),
                                          QByteArray(254, 't'), QByteArray(1022, 'b'));
}

void PacketTest::roundTrips()
{
    // What the console sends an agent reads back field for field; Bufor gains
    // the closing bar, as every text taken in does.
    QFETCH(PacketRecord, packet);
    PacketRecord back = previous();
    ParsePacketText(FormatPacketText(packet), back);
    PacketRecord expected = packet;
    packet::setFieldText(expected.Bufor, text(packet.Bufor) + '|');
    QVERIFY(sameBytes(back, expected));
}

void PacketTest::fieldTextIsCutToWidth_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QByteArray>("stored");
    QTest::newRow("short") << QByteArray("abc") << QByteArray("abc");
    QTest::newRow("empty") << QByteArray() << QByteArray();
    QTest::newRow("width less one") << QByteArray(254, 'a') << QByteArray(254, 'a');
    QTest::newRow("width") << QByteArray(255, 'a') << QByteArray(254, 'a');
    QTest::newRow("far beyond") << QByteArray(100000, 'a') << QByteArray(254, 'a');
    QTest::newRow("zero byte inside") << QByteArray("ab\0cd", 5) << QByteArray("ab");
}

void PacketTest::fieldTextIsCutToWidth()
{
    QFETCH(QByteArray, input);
    QFETCH(QByteArray, stored);
    char field[255];
    std::memset(field, 'z', sizeof field);
    packet::setFieldText(field, input);
    QCOMPARE(packet::fieldText(field).toByteArray(), stored);
    // Nothing of an earlier, longer text stays behind the new one.
    for (std::size_t i = std::size_t(stored.size()); i < sizeof field; ++i)
        QCOMPARE(field[i], '\0');
}

void PacketTest::survivesHostileText_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::newRow("huge text without bars") << QByteArray(4 * 1024 * 1024, 'A');
    QTest::newRow("huge text after eight fields")
            << QByteArray("1|2|3|4|5|6|") + QByteArray(200000, 'p') + '|' + QByteArray(200000, 't')
                       + '|' + QByteArray(200000, 'b');
    QTest::newRow("only bars") << QByteArray(100000, '|');
    QTest::newRow("only zero bytes") << QByteArray(5000, '\0');
    QTest::newRow("bars and zero bytes") << bytes("|\0|\0|\0|\0|\0|\0|\0|\0|\0|\0").repeated(500);
    QTest::newRow("numbers without end") << QByteArray(100000, '9') + '|' + QByteArray(100000, '7');
    QTest::newRow("minus signs and blanks")
            << QByteArray("- - -|--1|+-2|   |\t\n|-|||").repeated(100);
    QTest::newRow("high bytes") << QByteArray(3000, '\xff');
    for (quint32 seed : {1u, 2u, 3u, 4u, 5u, 6u, 7u, 8u}) {
        QRandomGenerator random(seed);
        QByteArray noise(int(random.bounded(1, 8000)), Qt::Uninitialized);
        for (char &c : noise) {
            // Bars and zero bytes more often than chance would bring them.
            const quint32 pick = random.bounded(10);
            c = pick == 0 ? '|' : pick == 1 ? '\0' : char(random.bounded(256));
        }
        QTest::addRow("random bytes, seed %u", seed) << noise;
    }
}

void PacketTest::survivesHostileText()
{
    QFETCH(QByteArray, input);
    PacketRecord p = previous();
    ParsePacketText(input, p);
    // Every text stays terminated within its field, so whatever the record
    // goes on to (the log, the next send) reads inside it.
    QVERIFY(terminatedWithinWidth(p));
    const QByteArray out = FormatPacketText(p);
    QVERIFY(out.size() <= packet::MaxTextLength);
    // The numbers taken in go out again and come back the same.
    PacketRecord back = previous();
    ParsePacketText(out, back);
    QCOMPARE(back.Pass, p.Pass);
    QCOMPARE(back.iPacketNo, p.iPacketNo);
    QCOMPARE(back.iFlag, p.iFlag);
    QCOMPARE(back.iCommand, p.iCommand);
    QCOMPARE(back.StreamSize, p.StreamSize);
    QCOMPARE(back.ProcID, p.ProcID);
}

QTEST_APPLESS_MAIN(PacketTest)
#include "test_packet.moc"
