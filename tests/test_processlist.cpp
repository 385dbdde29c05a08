// The process-list stream an agent sends: records in stream order, fields cut
// where the bytes say, and never a read outside the stream, whatever its count
// claims.
#include "link/processlist.h"

#include <QTest>
#include <QtEndian>

#include <cstring>
#include <limits>

using processlist::ProcessEntry;

namespace {

// A record laid out by hand, independently of processlist::build.
QByteArray record(const QByteArray &nameField, const QByteArray &descriptionField, quint32 pid)
{
    QByteArray r(processlist::RecordSize, '\0');
    std::memcpy(r.data(), nameField.constData(),
                size_t(qMin<qsizetype>(nameField.size(), processlist::NameWidth)));
    std::memcpy(r.data() + processlist::NameWidth, descriptionField.constData(),
                size_t(qMin<qsizetype>(descriptionField.size(), processlist::DescriptionWidth)));
    qToLittleEndian<quint32>(pid,
                             r.data() + processlist::NameWidth + processlist::DescriptionWidth);
    return r;
}

QByteArray header(qint32 count)
{
    QByteArray h(4, '\0');
    qToLittleEndian<qint32>(count, h.data());
    return h;
}

QByteArray threeRecords()
{
    return header(3) + record("System", "", 4) + record("explorer.exe", "Eksplorator Windows", 1234)
           + record("svchost.exe", "Host", 4294967295u);
}

} // namespace

using Entries = QList<ProcessEntry>;

class ProcessListTest : public QObject
{
    Q_OBJECT
private slots:
    void parse_data()
    {
        QTest::addColumn<QByteArray>("stream");
        QTest::addColumn<QList<QByteArray>>("names");
        QTest::addColumn<QList<QByteArray>>("descriptions");
        QTest::addColumn<QList<quint32>>("pids");

        const QByteArray three = threeRecords();
        QCOMPARE(three.size(), 1546);
        QTest::newRow("three records, stream order")
                << three << QList<QByteArray>{"System", "explorer.exe", "svchost.exe"}
                << QList<QByteArray>{"", "Eksplorator Windows", "Host"}
                << QList<quint32>{4, 1234, 4294967295u};

        QTest::newRow("count 0 in 4 bytes")
                << header(0) << QList<QByteArray>{} << QList<QByteArray>{} << QList<quint32>{};
        QTest::newRow("negative count") << header(-1) + record("a", "b", 1) << QList<QByteArray>{}
                                        << QList<QByteArray>{} << QList<quint32>{};
        QTest::newRow("most negative count")
                << header(std::numeric_limits<qint32>::min()) + record("a", "b", 1)
                << QList<QByteArray>{} << QList<QByteArray>{} << QList<quint32>{};
        QTest::newRow("empty stream")
                << QByteArray() << QList<QByteArray>{} << QList<QByteArray>{} << QList<quint32>{};
        QTest::newRow("three bytes") << QByteArray("\x01\0\0", 3) << QList<QByteArray>{}
                                     << QList<QByteArray>{} << QList<quint32>{};
        QTest::newRow("count 1, no record")
                << header(1) << QList<QByteArray>{} << QList<QByteArray>{} << QList<quint32>{};
        QTest::newRow("count 1, record cut short")
                << header(1) + record("a", "b", 1).left(513) << QList<QByteArray>{}
                << QList<QByteArray>{} << QList<quint32>{};
        QTest::newRow("count 3, one and a half records")
                << header(3) + record("a", "b", 7) + record("c", "d", 8).left(300)
                << QList<QByteArray>{"a"} << QList<QByteArray>{"b"} << QList<quint32>{7};
        QTest::newRow("largest count, two records")
                << header(std::numeric_limits<qint32>::max()) + record("a", "b", 7)
                           + record("c", "d", 8)
                << QList<QByteArray>{"a", "c"} << QList<QByteArray>{"b", "d"}
                << QList<quint32>{7, 8};
        QTest::newRow("count 1, two records")
                << header(1) + record("a", "b", 7) + record("c", "d", 8) << QList<QByteArray>{"a"}
                << QList<QByteArray>{"b"} << QList<quint32>{7};

        QTest::newRow("process ids with the top bit set")
                << header(3) + record("a", "", 2147483648u) + record("b", "", 4294967295u)
                           + record("c", "", 0)
                << QList<QByteArray>{"a", "b", "c"} << QList<QByteArray>{"", "", ""}
                << QList<quint32>{2147483648u, 4294967295u, 0};

        QByteArray afterZero("explorer.exe");
        afterZero += '\0';
        while (afterZero.size() < processlist::NameWidth)
            afterZero += char('A' + afterZero.size() % 26);
        QTest::newRow("bytes after the zero byte ignored")
                << header(1) + record(afterZero, afterZero, 9) << QList<QByteArray>{"explorer.exe"}
                << QList<QByteArray>{"explorer.exe"} << QList<quint32>{9};

        const QByteArray full(processlist::NameWidth, 'n');
        const QByteArray fullDescription(processlist::DescriptionWidth, 'd');
        QTest::newRow("fields with no zero byte cut at 255")
                << header(1) + record(full, fullDescription, 0x01020304) << QList<QByteArray>{full}
                << QList<QByteArray>{fullDescription} << QList<quint32>{0x01020304};

        // Polish letters in Windows-1250: ą ę ł ż Ś.
        const QByteArray polish("\xB9\xEA\xB3\xBF\x8C");
        QTest::newRow("Windows-1250 bytes stay bytes")
                << header(1) + record("proces_" + polish, "opis " + polish, 5)
                << QList<QByteArray>{"proces_" + polish} << QList<QByteArray>{"opis " + polish}
                << QList<quint32>{5};
    }

    void parse()
    {
        QFETCH(QByteArray, stream);
        QFETCH(QList<QByteArray>, names);
        QFETCH(QList<QByteArray>, descriptions);
        QFETCH(QList<quint32>, pids);

        // A copy of exactly the stream's size, so the sanitizer sees a read past it.
        const QByteArray exact(stream.constData(), stream.size());
        const Entries entries = processlist::parse(exact);
        QCOMPARE(entries.size(), names.size());
        for (qsizetype i = 0; i < entries.size(); ++i) {
            QCOMPARE(entries[i].name, names[i]);
            QCOMPARE(entries[i].description, descriptions[i]);
            QCOMPARE(entries[i].processId, pids[i]);
        }
    }

    void buildLaysOutRecords()
    {
        const Entries entries{{"System", "", 4},
                              {"explorer.exe", "Eksplorator Windows", 1234},
                              {"svchost.exe", "Host", 4294967295u}};
        QCOMPARE(processlist::build(entries), threeRecords());
        QCOMPARE(processlist::build({}), header(0));
    }

    // What build writes, parse reads back; a text too long for its field is
    // cut so that the zero byte still fits.
    void buildThenParse_data()
    {
        QTest::addColumn<QByteArray>("name");
        QTest::addColumn<QByteArray>("expectedName");

        const QByteArray longest(processlist::NameWidth - 1, 'x');
        QTest::newRow("empty") << QByteArray() << QByteArray();
        QTest::newRow("254 bytes") << longest << longest;
        QTest::newRow("255 bytes") << QByteArray(processlist::NameWidth, 'x') << longest;
        QTest::newRow("1000 bytes") << QByteArray(1000, 'x') << longest;
        QTest::newRow("Windows-1250")
                << QByteArray("\xA3\xF3\xBF\x9F") << QByteArray("\xA3\xF3\xBF\x9F");
    }

    void buildThenParse()
    {
        QFETCH(QByteArray, name);
        QFETCH(QByteArray, expectedName);

        const QByteArray stream = processlist::build({{name, name, 2147483649u}, {"b", "c", 3}});
        QCOMPARE(stream.size(), processlist::HeaderSize + 2 * processlist::RecordSize);
        const Entries back = processlist::parse(stream);
        QCOMPARE(back.size(), 2);
        QCOMPARE(back[0].name, expectedName);
        QCOMPARE(back[0].description, expectedName);
        QCOMPARE(back[0].processId, 2147483649u);
        QCOMPARE(back[1].name, QByteArray("b"));
        QCOMPARE(back[1].description, QByteArray("c"));
        QCOMPARE(back[1].processId, 3u);
    }
};

QTEST_GUILESS_MAIN(ProcessListTest)
#include "test_processlist.moc"
