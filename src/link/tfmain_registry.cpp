// The listening server and the registry of connected computers.
#include "shell/tfmain.h"

#include "platform/cp1250.h"
#include "storage/eventlog.h"

#include <QLineEdit>
#include <QStatusBar>
#include <QTreeWidget>

#include <arpa/inet.h>
#include <netdb.h>
#include <unistd.h>

namespace {

// Rows sort by the address text with the locale's string comparison, not by
// number: 10.0.0.10 comes before 10.0.0.2. Whatever column the list thinks
// it sorts by, the address decides.
class ComputerItem : public QTreeWidgetItem
{
public:
    using QTreeWidgetItem::QTreeWidgetItem;
    bool operator<(const QTreeWidgetItem &other) const override
    {
        return QString::localeAwareCompare(text(0), other.text(0)) < 0;
    }
};

QString text(const QByteArray &bytes)
{
    return cp1250::toUnicode(bytes);
}

void logStatus(const QLineEdit *status)
{
    WriteLog(cp1250::fromUnicode(status->text()));
}

} // namespace

void TFMain::ShowLocalHostInfo()
{
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0)
        name[0] = '\0';
    LocalHostName = QByteArray(name).left(254);

    // The first IPv4 address the name resolves to. A name that resolves to
    // none leaves the address empty.
    LocalIP.clear();
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *found = nullptr;
    if (!LocalHostName.isEmpty() && ::getaddrinfo(name, nullptr, &hints, &found) == 0 && found) {
        char dotted[INET_ADDRSTRLEN] = {};
        const auto *addr = reinterpret_cast<const sockaddr_in *>(found->ai_addr);
        if (::inet_ntop(AF_INET, &addr->sin_addr, dotted, sizeof dotted))
            LocalIP = QByteArray(dotted).left(20);
    }
    if (found)
        ::freeaddrinfo(found);

    ServerPort = listenPortOverride >= 0 ? quint32(listenPortOverride) : 6500;

    // In one step: a second arg() would fill a "%1" inside the host name.
    StatusBar->showMessage(
            QStringLiteral("Nazwa lokalnego komputera: %1, adres IP: %2, port: %3")
                    .arg(text(LocalHostName), text(LocalIP), QString::number(ServerPort)));
}

void TFMain::StartServer()
{
    QString error;
    if (!MyServer->listen(quint16(ServerPort), &error))
        throw SocketError(error.toStdString());
    StatusEdit->setText(QStringLiteral("Serwer uruchomiony, czekam na połączenia..."));
    WriteLog(cp1250::fromUnicode(u"serwer uruchomiony, oczekiwanie na połączenia"));
}

void TFMain::MyServerClientConnect(const platform::ConnectionPtr &socket)
{
    const QByteArray address = socket->peerAddress();
    StatusEdit->setText(QStringLiteral("Połączono z ") + text(address));

    auto *row = new ComputerItem;
    row->setText(0, text(address));
    row->setText(1, text(socket->peerHostName()));
    row->setText(2, QString::number(socket->peerPort()));
    RemoteComputersListView->addTopLevelItem(row); // the list sorts itself

    logStatus(StatusEdit);
}

void TFMain::MyServerClientRefused(const QByteArray &address)
{
    StatusEdit->setText(QStringLiteral("Odrzucono połączenie z ") + text(address)
                        + QStringLiteral(": za dużo połączeń"));
    logStatus(StatusEdit);
}

void TFMain::MyServerClientDisconnect(const platform::ConnectionPtr &socket)
{
    const QByteArray address = socket->peerAddress();
    StatusEdit->setText(QStringLiteral("Rozłączono z ") + text(address));
    logStatus(StatusEdit);

    // The first row with this address and this host name, as the name looks
    // up now; the port plays no part.
    const QString rowAddress = text(address);
    const QString rowName = text(socket->peerHostName());
    for (int i = 0; i < RemoteComputersListView->topLevelItemCount(); ++i) {
        QTreeWidgetItem *row = RemoteComputersListView->topLevelItem(i);
        if (row->text(0) == rowAddress && row->text(1) == rowName) {
            delete RemoteComputersListView->takeTopLevelItem(i);
            return;
        }
    }
}

void TFMain::MyServerClientError(const platform::ConnectionPtr &socket, int &errorCode)
{
    StatusEdit->setText(QStringLiteral("error, code nr: ") + QString::number(errorCode));
    errorCode = 0;
    socket->close(); // raises MyServerClientDisconnect before it returns
}

void TFMain::ServerSocketError(int &errorCode)
{
    StatusEdit->setText(QStringLiteral("ERROR: błąd nr") + QString::number(errorCode));
    logStatus(StatusEdit);
    errorCode = 0;
}

void TFMain::RemoteComputersListViewClick()
{
    QTreeWidgetItem *row = RemoteComputersListView->currentItem();
    if (!row || !row->isSelected())
        return;
    RemoteIPEdit->setText(row->text(0));
    RemoteNameEdit->setText(row->text(1));
    RemotePortEdit->setText(row->text(2));
}

bool TFMain::FindSelectedConnection()
{
    const QByteArray selected = cp1250::fromUnicode(RemoteIPEdit->text());
    for (int i = 0; i < MyServer->activeConnections(); ++i) {
        platform::ConnectionPtr c = MyServer->connection(i);
        // A connection that is no longer open never matches.
        if (c && c->isOpen() && c->peerAddress() == selected) {
            CurrentSocket = c;
            return true;
        }
    }
    return false;
}
