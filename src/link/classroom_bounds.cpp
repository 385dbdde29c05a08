// What one computer may cost the console: the pictures kept of it and its
// share of the day log.
#include "link/classroom.h"

#include "platform/cp1250.h"
#include "storage/eventlog.h"

#include <QDateTime>

#include <algorithm>

namespace {

QString packetsText(qint64 count)
{
    return eventlog::counted(count, QStringLiteral("pakiet"), QStringLiteral("pakiety"),
                             QStringLiteral("pakietów"));
}

} // namespace

bool Classroom::logsPacketOf(const Computer &computer)
{
    // The log's own seconds, which its entries' stamps show.
    const qint64 second = QDateTime::currentMSecsSinceEpoch() / 1000;
    LogShare &share = m_logShares[computer.address];
    share.hostName = computer.hostName;
    for (LogShare *s : {&share, &m_allAgentsShare}) {
        if (s->second != second) {
            s->second = second;
            s->logged = 0;
        }
    }
    if (share.logged < environment.loggedPacketsPerSecond
        && m_allAgentsShare.logged < environment.loggedPacketsPerSecondInAll) {
        ++share.logged;
        ++m_allAgentsShare.logged;
        return true;
    }
    ++share.leftOut;
    if (!m_leftOutTimer.isActive())
        m_leftOutTimer.start();
    return false;
}

void Classroom::reportLeftOut(const QByteArray &address)
{
    const auto share = m_logShares.find(address);
    if (share == m_logShares.end())
        return;
    if (share->second.leftOut > 0) {
        eventlog::AgentEntries byAgents;
        // The host name comes from the network's name service: shown, not
        // obeyed.
        WriteLog(cp1250::fromUnicode(QStringLiteral("pominięto w dzienniku %1 od ")
                                             .arg(packetsText(share->second.leftOut)))
                 + address + " (" + eventlog::visible(share->second.hostName) + ')');
        share->second.leftOut = 0;
    }
    const bool listed = std::any_of(computers().begin(), computers().end(),
                                    [&](const Computer *c) { return c->address == address; });
    if (!listed)
        m_logShares.erase(share);
}

void Classroom::reportAllLeftOut()
{
    std::vector<QByteArray> addresses;
    for (const auto &[address, share] : m_logShares)
        if (share.leftOut > 0)
            addresses.push_back(address);
    for (const QByteArray &address : addresses)
        reportLeftOut(address);
}

// The reception has cut the bytes at the picture's end marker. A larger
// picture is shown but not kept: the one kept before is no longer the
// computer's latest, so it goes too.
void Classroom::keepPictureBytes(Computer &computer, const QByteArray &jpeg)
{
    computer.state.pictureTime = QDateTime::currentDateTime();
    if (jpeg.size() > environment.pictureKeptLimit) {
        computer.state.picture = QByteArray();
        return;
    }
    computer.state.picture = jpeg;
    trimPictures(&computer);
}

void Classroom::trimPictures(const Computer *newest)
{
    const std::vector<Computer *> &all = m_roster.computers();
    qint64 kept = 0;
    for (const Computer *c : all)
        kept += c->state.picture.size();
    while (kept > environment.picturesKeptLimit) {
        Computer *oldest = nullptr;
        for (Computer *c : all)
            if (c != newest && !c->state.picture.isEmpty()
                && (!oldest || c->state.pictureTime < oldest->state.pictureTime))
                oldest = c;
        if (!oldest)
            return;
        kept -= oldest->state.picture.size();
        oldest->state.picture = QByteArray();
    }
}
