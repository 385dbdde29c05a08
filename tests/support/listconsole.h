#pragma once

// The console window's list of computers as the tests of the list see it:
// a name service of the test's own, the day log at a fixed moment, and the
// rows and the selected computer's fields as text.
#include "support/consolefixture.h"

#include "storage/eventlog.h"

#include <QDateTime>
#include <QHash>
#include <QHostAddress>
#include <QLineEdit>
#include <QSemaphore>
#include <QStringList>
#include <QTest>
#include <QTreeView>

#include <memory>

namespace listconsole {

using platform::TcpServer;

// Every entry of a test is written at this moment, so whole blocks of the
// day log can be compared byte for byte.
const QDateTime LogTime(QDate(2026, 3, 7), QTime(9, 5, 3));

inline QByteArray logBlock(const QByteArray &text)
{
    return "2026-03-07 09:05:03\r\nInfo: " + text + "\r\n----\r\n";
}

// The names the computers have in the name service of a test.
class NameService
{
public:
    NameService()
    {
        TcpServer::setHostNameResolver([this](const QByteArray &address) {
            if (gate)
                gate->acquire();
            return names.value(address);
        });
    }
    ~NameService() { TcpServer::setHostNameResolver({}); }
    QHash<QByteArray, QByteArray> names;
    // When set, each answer waits for one release: a slow name service.
    QSemaphore *gate = nullptr;
};

// A console whose log stands at LogTime, with the names of NameService.
class Console : public ConsoleFixture
{
public:
    Console()
    {
        eventlog::setClock([] { return LogTime; });
    }
    ~Console() { eventlog::setClock({}); }
    QByteArray log() const { return data.readLog(LogTime.date()); }
    QTreeView *list() { return main().RemoteComputersListView; }

    // A computer connecting from the given loopback address; listed, and
    // unless told otherwise, named.
    TestAgent *connectFrom(const char *address, bool waitForName = true)
    {
        auto agent = std::make_unique<TestAgent>();
        if (!agent->socket().bind(QHostAddress(QString::fromLatin1(address)), 0))
            return nullptr;
        const int before = listRows();
        if (!agent->connectTo(port()))
            return nullptr;
        if (!QTest::qWaitFor([&] { return listRows() > before; }, 5000))
            return nullptr;
        if (waitForName)
            ConsoleFixture::waitForName(agent->localPort());
        agents.push_back(std::move(agent));
        return agents.back().get();
    }

    // The rows as "address|name|port", in list order.
    QStringList rows()
    {
        QStringList out;
        for (int i = 0; i < listRows(); ++i)
            out << listText(i, 0) + u'|' + listText(i, 1) + u'|' + listText(i, 2);
        return out;
    }
    QStringList addresses()
    {
        QStringList out;
        for (int i = 0; i < listRows(); ++i)
            out << listText(i, 0);
        return out;
    }
    QString selected()
    {
        return main().RemoteIPEdit->text() + u'|' + main().RemoteNameEdit->text() + u'|'
               + main().RemotePortEdit->text();
    }
};

inline QString row(const char *address, const char *name, quint16 port)
{
    return QString::fromLatin1(address) + u'|' + QString::fromLatin1(name) + u'|'
           + QString::number(port);
}

} // namespace listconsole
