#include "support/consolefixture.h"

#include <QTest>
#include <QTreeWidget>

ConsoleFixture::ConsoleFixture()
{
    TFMain::listenPortOverride = 0;
    windows = createWindows();
}

ConsoleFixture::~ConsoleFixture()
{
    agents.clear();
    destroyWindows(windows);
    TFMain::listenPortOverride = -1;
}

void ConsoleFixture::start()
{
    startConsole(main());
    m_port = main().MyServer->localPort();
}

TestAgent &ConsoleFixture::connectAgent()
{
    auto agent = std::make_unique<TestAgent>();
    const int before = main().RemoteComputersListView->topLevelItemCount();
    if (!agent->connectTo(m_port))
        qFatal("test agent could not connect");
    if (!QTest::qWaitFor(
                [&] { return main().RemoteComputersListView->topLevelItemCount() > before; }, 5000))
        qFatal("the console did not list the test agent");
    waitForName(agent->localPort());
    agents.push_back(std::move(agent));
    return *agents.back();
}

void ConsoleFixture::waitForName(quint16 agentPort)
{
    const platform::TcpServer *server = main().MyServer;
    const bool named = QTest::qWaitFor(
            [&] {
                for (int i = 0; i < server->activeConnections(); ++i) {
                    const platform::ConnectionPtr c = server->connection(i);
                    if (c->peerPort() == agentPort)
                        return c->hostNameKnown();
                }
                return false;
            },
            5000);
    if (!named)
        qFatal("the console did not look up the test agent's name");
}

void ConsoleFixture::select(const TestAgent &agent)
{
    QTreeWidget *list = main().RemoteComputersListView;
    for (int i = 0; i < list->topLevelItemCount(); ++i) {
        if (list->topLevelItem(i)->text(2) == QString::number(agent.localPort())) {
            selectRow(i);
            return;
        }
    }
    qFatal("agent not listed");
}

void ConsoleFixture::selectRow(int row)
{
    QTreeWidget *list = main().RemoteComputersListView;
    list->setCurrentItem(list->topLevelItem(row));
    main().RemoteComputersListViewClick();
}
