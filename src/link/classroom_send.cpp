// The send path: every command to a student computer goes out here.
#include "link/classroom.h"

#include "link/packet.h"
#include "platform/cp1250.h"
#include "storage/eventlog.h"

#include <algorithm>

namespace {

QString sentLine(const PacketRecord &packet, qsizetype size)
{
    return QStringLiteral(
                   "wysłano dane: iCommand: %1, iFalg: %2, iPacketNo: %3, data size: %4 do: ")
            .arg(packet.iCommand)
            .arg(packet.iFlag)
            .arg(packet.iPacketNo)
            .arg(size);
}

QByteArray noConnectionEntry()
{
    return cp1250::fromUnicode(u"SEND: brak połączenia");
}
} // namespace

bool Classroom::SendPacket(const platform::ConnectionPtr &socket, PacketRecord &packet)
{
    return sendPacket(socket, packet, false);
}

bool Classroom::send(Computer *computer, PacketRecord packet)
{
    return sendPacket(computer ? computer->connection : nullptr, packet, false);
}

// A quiet send (a glance) reports nothing and writes nothing to the log.
bool Classroom::sendPacket(const platform::ConnectionPtr &socket, PacketRecord &packet, bool quiet)
{
    auto hostName = [&socket] {
        return socket ? cp1250::toUnicode(socket->peerHostName()) : QString();
    };
    auto report = [&](const QString &text, const QByteArray &entry) {
        if (quiet)
            return;
        CurrentPacket = packet;
        emit sendReport(text);
        WriteLog(entry, true, &packet);
    };

    if (!socket || !socket->isOpen()) {
        report(QStringLiteral("brak połączenia z ") + hostName(), noConnectionEntry());
        return false;
    }

    // The budget is counted in the waits granted, not in time that passes:
    // each wait ends at the latest after its step, so the whole send takes
    // at most about the budget, however the connection behaves.
    int budgetLeft = SendBudgetMs;
    QByteArray text;
    qint64 sent = 0; // bytes of the current text already on the wire
    for (;;) {
        // A text is stamped afresh only while none of it has gone out; once
        // part of it is on the wire the rest follows unchanged, so a packet
        // is never cut short or mixed with another number.
        if (sent == 0) {
            packet.Pass = packet::PassValue;
            // An agent may have numbered its last packet 2147483647: the
            // next number wraps to the lowest, as the agent's own counter does.
            packet.iPacketNo = m_packetNo = qint32(quint32(m_packetNo) + 1u);
            text = FormatPacketText(packet);
        }
        const qint64 n = socket->send(text.constData() + sent, text.size() - sent);
        if (n > 0)
            sent += n;
        if (sent >= text.size())
            break;
        // Nothing taken is a failed attempt like a refusal, or the loop
        // would spin without pause or end.
        if (n <= 0) {
            // A connection that failed meanwhile will take nothing more:
            // waiting out the whole time-out would only freeze the window.
            if (!socket->isOpen()) {
                report(QStringLiteral("brak połączenia z ") + hostName(), noConnectionEntry());
                return false;
            }
            if (budgetLeft <= 0) {
                timedOut(socket, packet, quiet, sent > 0);
                return false;
            }
            const int step = std::min(budgetLeft, SendWaitStepMs);
            budgetLeft -= step;
            environment.sendWait(*socket, step);
        }
    }

    report(sentLine(packet, text.size()) + hostName(), "SEND: OK");
    if (!quiet) {
        noteTeacherRequest(socket, packet);
        if (Computer *computer = computerOf(socket)) {
            computer->conversation.commandedAt = m_clock.elapsed();
            if (packet.iCommand == packet::Message && packet.iFlag != packet::PlainMessage)
                computer->conversation.questionAt = m_clock.elapsed();
        }
    }
    return true;
}

bool Classroom::questionOpen(const Computer &computer) const
{
    const qint64 at = computer.conversation.questionAt;
    return at >= 0 && m_clock.elapsed() - at < QuestionOpenMs;
}

// A computer that takes nothing for the whole budget has stopped reading, or
// part of a packet is on the wire and the rest will never follow, so the
// agent would read the next packet as its tail: the connection is given up
// rather than let it hold the window at every command, and the agent starts
// afresh when it connects again. A glance leaves no trace, not even the
// disconnect, unless part of it went out.
void Classroom::timedOut(const platform::ConnectionPtr &socket, PacketRecord &packet, bool quiet,
                         bool partial)
{
    if (quiet && !partial)
        return;
    if (!quiet) {
        CurrentPacket = packet;
        emit sendReport(QStringLiteral("upłynął czas na wysłanie danych do: ")
                        + cp1250::toUnicode(socket->peerHostName()));
        WriteLog("SEND: TIMEOUT", true, &packet);
    }
    socket->close();
}
