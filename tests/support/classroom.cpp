#include "support/classroom.h"

#include <QHostAddress>
#include <QTest>
#include <QTreeView>

TestAgent &connectAgentFrom(ConsoleFixture &console, const QString &address)
{
    auto agent = std::make_unique<TestAgent>();
    const int before = console.main().RemoteComputersListView->model()->rowCount();
    if (!agent->socket().bind(QHostAddress(address), 0))
        qFatal("test agent could not bind to %s", qPrintable(address));
    if (!agent->connectTo(console.port()))
        qFatal("test agent could not connect from %s", qPrintable(address));
    if (!QTest::qWaitFor(
                [&] {
                    return console.main().RemoteComputersListView->model()->rowCount() > before;
                },
                5000))
        qFatal("the console did not list the test agent");
    console.waitForName(agent->localPort());
    console.agents.push_back(std::move(agent));
    return *console.agents.back();
}

void selectAgent(ConsoleFixture &console, TestAgent &agent)
{
    const QTcpSocket &socket = agent.socket();
    for (int i = 0; i < console.listRows(); ++i) {
        if (console.listText(i, 0) == socket.localAddress().toString()
            && console.listText(i, 2) == QString::number(socket.localPort())) {
            console.selectRow(i);
            return;
        }
    }
    qFatal("agent not listed");
}

platform::ConnectionPtr connectionOf(ConsoleFixture &console, TestAgent &agent)
{
    const QTcpSocket &socket = agent.socket();
    const platform::TcpServer *server = console.main().classroom().MyServer;
    for (int i = 0; i < server->activeConnections(); ++i) {
        platform::ConnectionPtr c = server->connection(i);
        if (c->peerPort() == socket.localPort()
            && c->peerAddress() == socket.localAddress().toString().toLatin1())
            return c;
    }
    return {};
}
