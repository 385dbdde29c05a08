// The student agent simulator's screen pictures and the faults it plays on
// its streams and packets, seen from the console's side of the wire: the
// real executable against a listening socket of this test on 127.0.0.1.
#include "support/simulatorrun.h"

#include "link/processlist.h"
#include "platform/cp1250.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QTest>

using namespace simulated;

class AgentSimFaultsTest : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase() { QVERIFY2(QFile::exists(simulatorPath()), qPrintable(simulatorPath())); }

    void screenPicturesDecodeAndDifferPerStudent()
    {
        if (!encoderWorks())
            QSKIP("the JPEG encoder is not built yet");
        SimulatorRun run;
        QVERIFY(run.start({QStringLiteral("--screen-size"), QStringLiteral("320x200")}, 2));
        QImage pictures[2];
        for (int i = 0; i < 2; ++i) {
            Peer &peer = *run.peer(QStringLiteral("UCZEN-0%1").arg(i + 1));
            SimulatorRun::send(peer, 1 + i, 2, 0);
            QByteArray stream;
            QVERIFY(SimulatorRun::takeStream(peer, 2, 1, stream));
            QString error;
            pictures[i] = jpegimage::decode(stream, &error);
            QVERIFY2(!pictures[i].isNull(), qPrintable(error));
            QCOMPARE(pictures[i].size(), QSize(320, 200));
        }
        QVERIFY(pictures[0] != pictures[1]);
        QCOMPARE(run.closeAllAndWait(), 0);
    }

    void screenPictureShowsTheMomentItIsTaken()
    {
        if (!encoderWorks())
            QSKIP("the JPEG encoder is not built yet");
        // Two runs alike in everything but the moment: the first picture of
        // each is the same shot of the same student with the same seed.
        QImage pictures[2];
        qint64 doneAtMs = 0;
        for (QImage &picture : pictures) {
            // The clock shows whole seconds; the second picture waits for the next one.
            QVERIFY(QTest::qWaitFor(
                    [&] { return QDateTime::currentMSecsSinceEpoch() / 1000 > doneAtMs / 1000; },
                    WaitMs));
            SimulatorRun run;
            QVERIFY(run.start({QStringLiteral("--screen-size"), QStringLiteral("320x200")}));
            Peer &peer = *run.peer(QStringLiteral("UCZEN-01"));
            SimulatorRun::send(peer, 1, 2, 0);
            QByteArray stream;
            QVERIFY(SimulatorRun::takeStream(peer, 2, 1, stream));
            doneAtMs = QDateTime::currentMSecsSinceEpoch();
            QString error;
            picture = jpegimage::decode(stream, &error);
            QVERIFY2(!picture.isNull(), qPrintable(error));
            QCOMPARE(run.closeAllAndWait(), 0);
        }
        QVERIFY(pictures[0] != pictures[1]);
    }

    void screenAnswerWaitsForTheCaptureDelay_data()
    {
        QTest::addColumn<QString>("fault");
        QTest::addColumn<int>("answerFlag");
        QTest::newRow("picture") << QString() << 1;
        QTest::newRow("no picture") << QStringLiteral("--no-screen") << 2;
    }

    void screenAnswerWaitsForTheCaptureDelay()
    {
        QFETCH(QString, fault);
        QFETCH(int, answerFlag);
        if (answerFlag == packet::ScreenAnnounceFlag && !encoderWorks())
            QSKIP("the JPEG encoder is not built yet");
        constexpr int delayMs = 600;
        QStringList args{QStringLiteral("--capture-delay"),    QString::number(delayMs),
                         QStringLiteral("--screen-size"),      QStringLiteral("64x64"),
                         QStringLiteral("--after-stream-gap"), QStringLiteral("0")};
        if (!fault.isEmpty())
            args.append(fault);
        SimulatorRun run;
        QVERIFY(run.start(args));
        Peer &peer = *run.peer(QStringLiteral("UCZEN-01"));
        QElapsedTimer sinceRequest;
        sinceRequest.start();
        // A command right behind the request is answered after the picture.
        peer.socket->write(SimulatorRun::text(1, 2, 0) + SimulatorRun::text(2, 7, 0));
        PacketRecord answer;
        QVERIFY(SimulatorRun::takePacket(peer, answer));
        QVERIFY2(sinceRequest.elapsed() >= delayMs,
                 qPrintable(QStringLiteral("after %1 ms").arg(sinceRequest.elapsed())));
        QCOMPARE(answer.iCommand, 2);
        QCOMPARE(answer.iFlag, answerFlag);
        QByteArray picture;
        QVERIFY(SimulatorRun::takeBytes(peer, answer.StreamSize, picture));
        QVERIFY(SimulatorRun::takePacket(peer, answer));
        QCOMPARE(packet::fieldText(answer.Bufor), cp1250::fromUnicode(u"Zablokowano menu Start"));
        QCOMPARE(run.closeAllAndWait(), 0);
    }

    void streamFaults_data()
    {
        QTest::addColumn<QString>("fault");
        QTest::addColumn<int>("command");
        QTest::addColumn<int>("surplus"); // bytes beyond the announced size; -1: fewer

        QTest::newRow("short process list") << QStringLiteral("--short-stream") << 0 << -1;
        QTest::newRow("short screen") << QStringLiteral("--short-stream") << 2 << -1;
        QTest::newRow("surplus process list") << QStringLiteral("--surplus-stream") << 0 << 1000;
        QTest::newRow("slow process list") << QStringLiteral("--slow-stream") << 0 << 0;
        QTest::newRow("corrupt picture") << QStringLiteral("--corrupt-jpeg") << 2 << 0;
    }

    void streamFaults()
    {
        QFETCH(QString, fault);
        QFETCH(int, command);
        QFETCH(int, surplus);
        if (command == packet::ScreenShot && !encoderWorks())
            QSKIP("the JPEG encoder is not built yet");

        SimulatorRun run;
        QVERIFY(run.start({fault, QStringLiteral("--slow-seconds"), QStringLiteral("1"),
                           QStringLiteral("--screen-size"), QStringLiteral("320x200"),
                           QStringLiteral("--synthetic-processes")}));
        Peer &peer = *run.peer(QStringLiteral("UCZEN-01"));
        SimulatorRun::send(peer, 1, command, 0);
        PacketRecord announcement;
        QVERIFY(SimulatorRun::takePacket(peer, announcement));
        QCOMPARE(announcement.iCommand, command);
        QCOMPARE(announcement.iFlag, command == 0 ? 0 : 1);
        const int readsBefore = peer.reads;

        // Once the student has said how much it sent, all of it is on its way.
        QString line;
        QVERIFY(run.waitForLine(QStringLiteral("UCZEN-01 stream "), &line));
        static const QRegularExpression sentText(QStringLiteral(" announced=(\\d+) sent=(\\d+)"));
        const QRegularExpressionMatch m = sentText.match(line);
        QVERIFY2(m.hasMatch(), qPrintable(line));
        QCOMPARE(m.captured(1).toInt(), announcement.StreamSize);
        const int sent = m.captured(2).toInt();
        QByteArray stream;
        QVERIFY(SimulatorRun::takeBytes(peer, sent, stream));

        if (surplus < 0)
            QVERIFY(sent < announcement.StreamSize);
        else
            QCOMPARE(sent, announcement.StreamSize + surplus);
        if (fault == QLatin1String("--slow-stream")) {
            QVERIFY2(peer.reads - readsBefore > 2, "the stream came in one piece");
            QCOMPARE(processlist::parse(stream).size(), 13);
        }
        if (fault == QLatin1String("--corrupt-jpeg"))
            QVERIFY(jpegimage::decode(stream).isNull());
        QCOMPARE(run.closeAllAndWait(), 0);
    }

    void disconnectsMidStream()
    {
        SimulatorRun run;
        QVERIFY(run.start({QStringLiteral("--disconnect-mid-stream"),
                           QStringLiteral("--synthetic-processes")}));
        Peer &peer = *run.peer(QStringLiteral("UCZEN-01"));
        SimulatorRun::send(peer, 1, 0, 0);
        PacketRecord announcement;
        QVERIFY(SimulatorRun::takePacket(peer, announcement));
        QTRY_VERIFY_WITH_TIMEOUT(peer.closed, WaitMs);
        peer.data += peer.socket->readAll();
        QVERIFY(peer.data.size() > 0);
        QVERIFY(peer.data.size() < announcement.StreamSize);
        // Its only student gone, the simulator ends by itself.
        QCOMPARE(run.waitForExit(), 0);
    }

    void packetFaultsHitOnlyTheChosenStudent_data()
    {
        QTest::addColumn<QString>("fault");
        QTest::newRow("wrong pass") << QStringLiteral("--wrong-pass");
        QTest::newRow("repeated number") << QStringLiteral("--repeat-number");
        QTest::newRow("no screen") << QStringLiteral("--no-screen");
    }

    void packetFaultsHitOnlyTheChosenStudent()
    {
        QFETCH(QString, fault);
        const bool screen = fault == QLatin1String("--no-screen");
        if (screen && !encoderWorks())
            QSKIP("the JPEG encoder is not built yet");

        SimulatorRun run;
        QVERIFY(run.start({fault, QStringLiteral("--fault-student"), QStringLiteral("2"),
                           QStringLiteral("--packet-gap"), QStringLiteral("0"),
                           QStringLiteral("--after-stream-gap"), QStringLiteral("0"),
                           QStringLiteral("--screen-size"), QStringLiteral("64x64")},
                          2));
        struct Seen
        {
            QList<qint32> numbers;
            QList<qint32> passes;
            QList<qint32> flags;
        } seen[2];
        for (int i = 0; i < 2; ++i) {
            Peer &peer = *run.peer(QStringLiteral("UCZEN-0%1").arg(i + 1));
            for (int k = 0; k < 2; ++k) {
                SimulatorRun::send(peer, 10 * (k + 1), screen ? 2 : 4, 0);
                PacketRecord answer;
                QVERIFY(SimulatorRun::takePacket(peer, answer));
                seen[i].numbers.append(answer.iPacketNo);
                seen[i].passes.append(answer.Pass);
                seen[i].flags.append(answer.iFlag);
                if (screen && answer.iFlag == packet::ScreenAnnounceFlag) {
                    QByteArray picture;
                    QVERIFY(SimulatorRun::takeBytes(peer, answer.StreamSize, picture));
                }
            }
        }
        const QList<qint32> rightPass{packet::PassValue, packet::PassValue};
        QCOMPARE(seen[0].passes, rightPass);
        QVERIFY(seen[0].numbers[0] != seen[0].numbers[1]);
        if (fault == QLatin1String("--wrong-pass")) {
            QVERIFY(!seen[1].passes.contains(packet::PassValue));
        } else if (fault == QLatin1String("--repeat-number")) {
            QCOMPARE(seen[1].passes, rightPass);
            QCOMPARE(seen[1].numbers[0], seen[1].numbers[1]);
        } else {
            QCOMPARE(seen[0].flags, (QList<qint32>{1, 1}));
            QCOMPARE(seen[1].flags, (QList<qint32>{2, 2}));
        }
        QCOMPARE(run.closeAllAndWait(), 0);
    }
};

QTEST_MAIN(AgentSimFaultsTest)
#include "test_agentsim_faults.moc"
