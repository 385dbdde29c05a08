#include "nameservice.h"

#include "output.h"
#include "platform/netbios.h"

#include <QUdpSocket>
#include <QtEndian>

namespace agentsim {

NameService::NameService(const Options &options, QObject *parent)
    : QObject(parent)
    , m_options(options)
{}

void NameService::start()
{
    // Without addresses of their own the students cannot be told apart by
    // address, and the console names them all after the machine.
    if (m_options.netbiosPort == 0 || m_options.sourceBase.isNull())
        return;
    for (int number = 1; number <= m_options.students; ++number) {
        const QHostAddress address(m_options.sourceBase.toIPv4Address() + quint32(number - 1));
        auto *socket = new QUdpSocket(this);
        if (!socket->bind(address, m_options.netbiosPort)) {
            output::line(QStringLiteral("netbios-unavailable address=%1 port=%2 error=%3")
                                 .arg(address.toString())
                                 .arg(m_options.netbiosPort)
                                 .arg(output::quoted(socket->errorString())));
            delete socket;
            return;
        }
        connect(socket, &QUdpSocket::readyRead, this,
                [this, socket, number] { answer(socket, number); });
        m_sockets.append(socket);
    }
    output::line(QStringLiteral("netbios-listening port=%1 students=%2")
                         .arg(m_options.netbiosPort)
                         .arg(m_sockets.size()));
}

void NameService::answer(QUdpSocket *socket, int number)
{
    while (socket->hasPendingDatagrams()) {
        QByteArray query(int(qMax<qint64>(0, socket->pendingDatagramSize())), '\0');
        QHostAddress from;
        quint16 port = 0;
        if (socket->readDatagram(query.data(), query.size(), &from, &port) < 12)
            continue;
        const quint16 id = qFromBigEndian<quint16>(query.constData());
        const QByteArray name = netbios::toCp852(m_options.studentName(number).toUpper());
        socket->writeDatagram(netbios::nodeStatusAnswer(id, {{name, 0x00}, {name, 0x20}}), from,
                              port);
    }
}

} // namespace agentsim
