#include "support/coreroom.h"

#include <QHostAddress>
#include <QTest>

CoreRoom::CoreRoom(const QHash<QByteArray, QByteArray> &hostNames)
    : names(hostNames)
{
    Classroom::listenPortOverride = 0;
    QObject::connect(&classroom, &Classroom::statusText, &classroom,
                     [this](const QString &text) { statusLines << text; });
    QObject::connect(&classroom, &Classroom::receiveReport, &classroom,
                     [this](const QString &text) { receiveLines << text; });
    QObject::connect(&classroom, &Classroom::answerReceived, &classroom,
                     [this](Computer *, const PacketRecord &, const MessageAnswer &answer) {
                         answers << answer.shownText();
                     });
    classroom.ShowLocalHostInfo();
    classroom.StartServer();
}

CoreRoom::~CoreRoom()
{
    agents.clear();
    Classroom::listenPortOverride = -1;
}

TestAgent &CoreRoom::connectAgent(const QString &address)
{
    auto agent = std::make_unique<TestAgent>();
    const size_t before = classroom.computers().size();
    if (!agent->socket().bind(QHostAddress(address), 0) || !agent->connectTo(port()))
        qFatal("test agent could not connect from %s", qPrintable(address));
    const TestAgent &joined = *agent;
    if (!QTest::qWaitFor([&] { return classroom.computers().size() > before; }, 5000))
        qFatal("the console did not list the test agent");
    if (!QTest::qWaitFor(
                [&] {
                    const Computer *computer = computerOf(joined);
                    return computer && computer->connection->hostNameKnown();
                },
                5000))
        qFatal("the console did not look up the test agent's name");
    agents.push_back(std::move(agent));
    return *agents.back();
}

Computer *CoreRoom::computerOf(const TestAgent &agent) const
{
    // Ports tell the agents apart: they all connect from one machine.
    for (Computer *computer : classroom.computers())
        if (computer->port == agent.localPort())
            return computer;
    return nullptr;
}

platform::ConnectionPtr CoreRoom::connectionOf(const TestAgent &agent) const
{
    const Computer *computer = computerOf(agent);
    return computer ? computer->connection : nullptr;
}
