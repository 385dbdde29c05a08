// A first look at the whole console: an agent connects, a command goes out,
// an answer comes back.
#include "support/consolefixture.h"

#include <QLineEdit>
#include <QTest>
#include <QTreeWidget>

class SmokeTest : public QObject
{
    Q_OBJECT
private slots:
    void commandAndAnswer()
    {
        ConsoleFixture console;
        console.start();
        TestAgent &agent = console.connectAgent();
        console.select(agent);
        console.main().PowerOffMonitorButtonClick();
        PacketRecord p;
        QVERIFY(agent.waitForPacket(p));
        QCOMPARE(p.iCommand, 4);
        QCOMPARE(p.iFlag, 0);
        QCOMPARE(p.iPacketNo, 1);
        agent.sendPacket(7, 1, 0, 0, "zrobione");
        QTRY_COMPARE(console.main().StatusEdit->text(), QStringLiteral("zrobione|"));
    }
};

QTEST_MAIN(SmokeTest)
#include "test_smoke.moc"
