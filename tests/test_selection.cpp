// The computer the teacher has chosen in the list: the row highlighted, the
// fields that show it, and the lookup of its connection the commands go to.
#include "support/listconsole.h"

#include <QHeaderView>
#include <QHostInfo>
#include <QLineEdit>
#include <QOperatingSystemVersion>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QStatusBar>
#include <QTest>
#include <QTreeView>

using namespace listconsole;
using platform::ConnectionPtr;
using platform::TcpServer;

class SelectionTest : public QObject
{
    Q_OBJECT
private slots:
    void highlightedRowIsTheSelectedComputer_data();
    void highlightedRowIsTheSelectedComputer();
    void clickWithoutSelectionLeavesFields_data();
    void clickWithoutSelectionLeavesFields();
    void findSelectedConnection_data();
    void findSelectedConnection();
    void failedConnectionIsNotFound();
};

void SelectionTest::highlightedRowIsTheSelectedComputer_data()
{
    QTest::addColumn<QString>("way");
    QTest::newRow("a mouse click") << "click";
    QTest::newRow("the arrow key") << "down";
    QTest::newRow("type-ahead") << "type";
    QTest::newRow("Enter") << "enter";
}

// However the teacher reaches a row, its computer is the one the fields show
// and the commands go to; it stays chosen while others come, and after it
// has gone the fields still show it and a command finds nothing.
void SelectionTest::highlightedRowIsTheSelectedComputer()
{
    QFETCH(QString, way);
    NameService names;
    names.names["127.0.0.2"] = "SALA-2";
    names.names["127.0.0.7"] = "SALA-7";
    Console console;
    console.start();
    TestAgent *b = console.connectFrom("127.0.0.2");
    TestAgent *a = console.connectFrom("127.0.0.7");
    QVERIFY(a && b);
    TFMain &main = console.main();
    main.show();
    QVERIFY(QTest::qWaitForWindowExposed(&main));

    QTreeView *list = console.list();
    list->setFocus();
    if (way == u"click") {
        const QRect rect = list->visualRect(list->model()->index(1, 0));
        QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, rect.center());
    } else if (way == u"down") {
        console.selectRow(0);
        QTest::keyClick(list, Qt::Key_Down);
    } else if (way == u"type") {
        list->keyboardSearch(QStringLiteral("127.0.0.7"));
    } else {
        list->setCurrentIndex(list->model()->index(1, 0));
        QTest::keyClick(list, Qt::Key_Return);
    }
    QCOMPARE(list->currentIndex().row(), 1);
    QCOMPARE(console.selected(), row("127.0.0.7", "SALA-7", a->localPort()));
    QVERIFY(main.FindSelectedConnection());
    QCOMPARE(main.classroom().CurrentSocket->peerPort(), a->localPort());

    // Rows added after the choice do not change it.
    QVERIFY(console.connectFrom("127.0.0.1"));
    QCOMPARE(console.selected(), row("127.0.0.7", "SALA-7", a->localPort()));
    QVERIFY(main.FindSelectedConnection());
    QCOMPARE(main.classroom().CurrentSocket->peerPort(), a->localPort());

    // After the computer has gone, the fields still show it and no other
    // row is taken for it.
    const quint16 gonePort = a->localPort();
    a->close();
    QTRY_COMPARE(main.classroom().MyServer->activeConnections(), 2);
    QCOMPARE(console.selected(), row("127.0.0.7", "SALA-7", gonePort));
    QVERIFY(!main.FindSelectedConnection());
    QCOMPARE(main.classroom().selected(), nullptr);
}

void SelectionTest::clickWithoutSelectionLeavesFields_data()
{
    QTest::addColumn<bool>("keepCurrentItem");
    QTest::newRow("no current row") << false;
    QTest::newRow("current row not selected") << true;
}

void SelectionTest::clickWithoutSelectionLeavesFields()
{
    QFETCH(bool, keepCurrentItem);
    NameService names;
    Console console;
    console.start();
    QVERIFY(console.connectFrom("127.0.0.2"));
    QVERIFY(console.connectFrom("127.0.0.3"));
    console.selectRow(0);
    const QString chosen = console.selected();
    QVERIFY(chosen.startsWith(QLatin1String("127.0.0.2|")));

    QTreeView *list = console.list();
    if (keepCurrentItem) {
        list->selectionModel()->setCurrentIndex(list->model()->index(1, 0),
                                                QItemSelectionModel::NoUpdate);
        list->clearSelection();
    } else {
        list->setCurrentIndex({});
        list->clearSelection();
    }
    console.main().RemoteComputersListViewClick();
    QCOMPARE(console.selected(), chosen);
}

void SelectionTest::findSelectedConnection_data()
{
    QTest::addColumn<QString>("selected");  // "row N", "left" or "none"
    QTest::addColumn<int>("expectedIndex"); // of the connections accepted; -1: none

    QTest::newRow("first row") << "row 0" << 0;
    QTest::newRow("last row") << "row 2" << 2;
    QTest::newRow("the first of two from one address") << "row 3" << 3;
    QTest::newRow("the second of two from one address") << "row 4" << 4;
    QTest::newRow("a computer that has left") << "left" << -1;
    QTest::newRow("nothing chosen yet") << "none" << -1;
}

// The row chosen is the computer the command goes to, in constant time,
// whatever other connections share its address; a computer that has left
// leaves CurrentSocket as it was.
void SelectionTest::findSelectedConnection()
{
    QFETCH(QString, selected);
    QFETCH(int, expectedIndex);
    NameService names;
    Console console;
    console.start();
    for (const char *address : {"127.0.0.2", "127.0.0.3", "127.0.0.4", "127.0.0.5", "127.0.0.5"})
        QVERIFY(console.connectFrom(address));
    TestAgent *leaving = console.connectFrom("127.0.0.6");
    QVERIFY(leaving);
    TFMain &main = console.main();
    auto connection = [&](int i) {
        return main.classroom().MyServer->connection(i);
    };

    if (selected.startsWith(u"row"))
        console.selectRow(selected.section(u' ', 1).toInt());
    if (selected == u"left") {
        console.selectRow(5);
        leaving->close();
        QTRY_COMPARE(console.listRows(), 5);
    }
    const ConnectionPtr before = connection(1);
    main.classroom().CurrentSocket = before;
    const bool found = main.FindSelectedConnection();
    QCOMPARE(found, expectedIndex >= 0);
    QCOMPARE(main.classroom().CurrentSocket,
             expectedIndex >= 0 ? connection(expectedIndex) : before);
}

void SelectionTest::failedConnectionIsNotFound()
{
    NameService names;
    Console console;
    console.start();
    TestAgent *agent = console.connectFrom("127.0.0.6");
    QVERIFY(agent);
    TFMain &main = console.main();
    console.selectRow(0);
    QVERIFY(main.FindSelectedConnection());
    const ConnectionPtr failed = main.classroom().CurrentSocket;

    // The computer resets, and a send finds out before the error is handled:
    // still listed, no longer open.
    agent->abort();
    qint64 n = 0;
    for (int i = 0; i < 100 && n >= 0; ++i)
        n = failed->send("x", 1);
    QCOMPARE(n, qint64(-1));
    QCOMPARE(main.classroom().MyServer->activeConnections(), 1);
    main.classroom().CurrentSocket.reset();
    QVERIFY(!main.FindSelectedConnection());
    QVERIFY(!main.classroom().CurrentSocket);

    // The error is handled from the event loop: the row goes as at any
    // disconnect, with the address the connection had.
    QTRY_COMPARE(console.listRows(), 0);
    QCOMPARE(main.StatusEdit->text(), QStringLiteral("Rozłączono z 127.0.0.6"));
    QCOMPARE(main.classroom().MyServer->activeConnections(), 0);
}

QTEST_MAIN(SelectionTest)
#include "test_selection.moc"
