#pragma once

#include "options.h"

#include <QList>
#include <QObject>

class QUdpSocket;

namespace agentsim {

// The students' NetBIOS side: each answers a node status query on its own
// address with its name, as a Windows computer does, so that the console
// names them where no name service knows them.
class NameService : public QObject
{
    Q_OBJECT
public:
    NameService(const Options &options, QObject *parent = nullptr);
    // Binds one port per student address; says which could not be bound.
    void start();

private:
    void answer(QUdpSocket *socket, int number);

    const Options &m_options;
    QList<QUdpSocket *> m_sockets;
};

} // namespace agentsim
