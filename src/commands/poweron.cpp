#include "commands/poweron.h"

#include "link/classroom.h"
#include "platform/cp1250.h"
#include "storage/datafolder.h"
#include "storage/eventlog.h"

#include <QNetworkInterface>
#include <QUdpSocket>

namespace commands {

namespace {

// The broadcast address of the interface's first IPv4 network.
QString broadcastOf(const QString &interfaceName)
{
    const QNetworkInterface interface = QNetworkInterface::interfaceFromName(interfaceName);
    for (const QNetworkAddressEntry &entry : interface.addressEntries()) {
        if (entry.ip().protocol() == QAbstractSocket::IPv4Protocol && !entry.broadcast().isNull())
            return entry.broadcast().toString();
    }
    return {};
}

} // namespace

PowerOn::PowerOn(Classroom &classroom, QObject *parent)
    : QObject(parent)
    , m_classroom(classroom)
    , m_lookup(platform::neighbourOf)
{
    // The name comes after the connection; the entry follows it.
    connect(&classroom.roster(), &Roster::joined, this, &PowerOn::learn);
    connect(&classroom.roster(), &Roster::renamed, this, &PowerOn::learn);
}

QByteArray PowerOn::magicPacket(const QByteArray &hardwareAddress)
{
    return QByteArray(6, char(0xFF)) + hardwareAddress.repeated(16);
}

void PowerOn::loadOnce()
{
    if (m_loaded)
        return;
    m_loaded = true;
    const wakelist::Loaded loaded = wakelist::load(datafolder::GetDataFolder());
    m_known = loaded.entries;
    m_error = loaded.error;
}

const QList<wakelist::Entry> &PowerOn::known()
{
    loadOnce();
    return m_known;
}

void PowerOn::learn(Computer *computer)
{
    if (!computer)
        return;
    const QString address = cp1250::toUnicode(computer->address);
    const std::optional<platform::Neighbour> neighbour = m_lookup(address);
    if (!neighbour)
        return;
    loadOnce();
    wakelist::Entry entry{neighbour->hardwareAddress, address,
                          broadcastOf(neighbour->interfaceName), QDateTime::currentDateTime(),
                          cp1250::toUnicode(computer->hostName)};
    m_known = wakelist::remember(m_known, entry);
    wakelist::save(datafolder::GetDataFolder(), m_known);
}

int PowerOn::wakeAbsent()
{
    loadOnce();
    QSet<QString> connected;
    for (const Computer *computer : m_classroom.computers()) {
        connected.insert(cp1250::toUnicode(computer->address));
        if (!computer->hostName.isEmpty())
            connected.insert(cp1250::toUnicode(computer->hostName));
    }
    QUdpSocket socket;
    int woken = 0;
    for (const wakelist::Entry &entry : std::as_const(m_known)) {
        if (connected.contains(entry.address)
            || (!entry.name.isEmpty() && connected.contains(entry.name)))
            continue;
        const QByteArray packet = magicPacket(entry.hardwareAddress);
        int sent = 0;
        for (const QString &target : {entry.broadcast, entry.address}) {
            if (!target.isEmpty())
                sent += socket.writeDatagram(packet, QHostAddress(target), wakePort)
                        == packet.size();
        }
        const QString text = QStringLiteral("Włączanie komputera %1 (%2, %3): %4")
                                     .arg(entry.name.isEmpty() ? entry.address : entry.name,
                                          entry.address, wakelist::hardwareText(entry.hardwareAddress),
                                          sent > 0 ? QStringLiteral("wysłano sygnał")
                                                   : QStringLiteral("nie udało się wysłać sygnału"));
        WriteLog(eventlog::visible(cp1250::fromUnicode(text)));
        woken += sent > 0;
    }
    return woken;
}

} // namespace commands
