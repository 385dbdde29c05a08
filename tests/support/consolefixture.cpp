#include "support/consolefixture.h"

#include <QTest>
#include <QTreeView>

ConsoleFixture::ConsoleFixture()
{
    Classroom::listenPortOverride = 0;
    windows = createWindows();
}

ConsoleFixture::~ConsoleFixture()
{
    agents.clear();
    destroyWindows(windows);
    Classroom::listenPortOverride = -1;
}

void ConsoleFixture::start()
{
    startConsole(main());
    m_port = main().classroom().MyServer->localPort();
}

TestAgent &ConsoleFixture::connectAgent()
{
    auto agent = std::make_unique<TestAgent>();
    const int before = main().RemoteComputersListView->model()->rowCount();
    if (!agent->connectTo(m_port))
        qFatal("test agent could not connect");
    if (!QTest::qWaitFor(
                [&] { return main().RemoteComputersListView->model()->rowCount() > before; }, 5000))
        qFatal("the console did not list the test agent");
    waitForName(agent->localPort());
    agents.push_back(std::move(agent));
    return *agents.back();
}

void ConsoleFixture::waitForName(quint16 agentPort)
{
    const platform::TcpServer *server = main().classroom().MyServer;
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
    for (int i = 0; i < listRows(); ++i) {
        if (listText(i, 2) == QString::number(agent.localPort())) {
            selectRow(i);
            return;
        }
    }
    qFatal("agent not listed");
}

// As a click on the row: it becomes the current and the selected one.
void ConsoleFixture::selectRow(int row)
{
    QTreeView *list = main().RemoteComputersListView;
    list->setCurrentIndex(list->model()->index(row, 0));
    main().RemoteComputersListViewClick();
}

int ConsoleFixture::listRows()
{
    return main().RemoteComputersListView->model()->rowCount();
}

QString ConsoleFixture::listText(int row, int column)
{
    return main().RemoteComputersListView->model()->index(row, column).data().toString();
}
