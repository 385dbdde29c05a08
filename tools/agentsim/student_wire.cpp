// How a simulated student's packets and streams go on the wire: one item
// at a time, with the gaps the console needs between them, and the faults
// the student plays on them.
#include "student.h"

#include "output.h"
#include "platform/cp1250.h"

#include <limits>

namespace agentsim {

namespace {

constexpr qint32 WrongPassValue = 12345;
constexpr int SurplusBytes = 1000;

} // namespace

void Student::enqueuePacket(qint32 command, qint32 flag, qint32 streamSize, const QByteArray &bufor,
                            quint32 processId, const QByteArray &procName, int gapAfterMs,
                            QDeadlineTimer notBefore)
{
    Outgoing item;
    item.kind = Outgoing::Packet;
    item.packet.iCommand = command;
    item.packet.iFlag = flag;
    item.packet.StreamSize = streamSize;
    item.packet.ProcID = processId;
    packet::setFieldText(item.packet.Bufor, bufor);
    packet::setFieldText(item.packet.ProcName, procName);
    item.gapAfterMs = gapAfterMs < 0 ? m_options.packetGapMs : gapAfterMs;
    item.notBefore = notBefore;
    m_queue.append(item);
    pump();
}

void Student::enqueueStream(qint32 command, qint32 flag, QByteArray data, const QString &kind,
                            const QString &summary, QDeadlineTimer notBefore)
{
    const qint32 announced = qint32(data.size());
    if (m_faults.shortStream && !data.isEmpty())
        data.chop(std::max<qsizetype>(1, data.size() / 10));
    if (m_faults.surplusStream)
        data.append(QByteArray(SurplusBytes, 'Z'));

    // The console takes one read as one packet, and begins reading the stream
    // a second after the announcement: the stream must not ride along with it.
    enqueuePacket(command, flag, announced, {}, 0, {}, m_options.streamDelayMs, notBefore);

    Outgoing item;
    item.kind = Outgoing::Stream;
    item.packet.iCommand = command;
    item.bytes = std::move(data);
    item.announced = announced;
    item.mode = m_faults.disconnectMidStream ? StreamMode::HalfThenClose
                : m_faults.slowStream        ? StreamMode::Slow
                                             : StreamMode::Whole;
    item.summary
            = QStringLiteral("kind=%1 announced=%2 sent=%3 ").arg(kind).arg(announced) + summary;
    // The console reads the stream until nothing more is waiting; a packet
    // that follows too soon would be taken for part of it.
    item.gapAfterMs = m_options.afterStreamGapMs;
    m_queue.append(item);
    pump();
}

void Student::pump()
{
    if (m_busy || m_queue.isEmpty() || !m_socket
        || m_socket->state() != QAbstractSocket::ConnectedState)
        return;
    m_busy = true;
    // Whatever comes after a held item waits with it: the agent answers in order.
    const qint64 holdNs = m_queue.constFirst().notBefore.remainingTimeNSecs();
    if (holdNs > 0) {
        m_gapTimer.start(int((holdNs + 999'999) / 1'000'000));
        return;
    }
    Outgoing item = m_queue.takeFirst();
    switch (item.kind) {
    case Outgoing::Packet:
        writePacket(item);
        break;
    case Outgoing::Stream:
        writeStream(item);
        break;
    case Outgoing::Close:
        say(QStringLiteral("closing reason=%1").arg(output::quoted(item.summary)));
        m_queue.clear();
        m_socket->disconnectFromHost();
        break;
    }
}

qint32 Student::nextNumber()
{
    if (m_faults.repeatNumber && m_lastSent != 0)
        return m_lastSent;
    auto advance = [](qint32 n) {
        return n == std::numeric_limits<qint32>::max() ? 1 : n + 1;
    };
    qint32 n = m_nextNumber;
    if (n == m_lastConsoleNumber)
        n = advance(n);
    m_nextNumber = advance(n);
    m_lastSent = n;
    return n;
}

void Student::writePacket(Outgoing &item)
{
    PacketRecord &p = item.packet;
    p.Pass = m_faults.wrongPass ? WrongPassValue : packet::PassValue;
    p.iPacketNo = nextNumber();
    m_socket->write(FormatPacketText(p));
    // Screen answers go apart: the console answers glances without a trace.
    output::count(p.iCommand == packet::ScreenShot ? "screen-packets" : "packets");
    if (p.iCommand == packet::Message)
        output::count("answers");

    QString line = QStringLiteral("sent no=%1 pass=%2 code=%3 flag=%4 size=%5")
                           .arg(p.iPacketNo)
                           .arg(p.Pass)
                           .arg(p.iCommand)
                           .arg(p.iFlag)
                           .arg(p.StreamSize);
    const QByteArrayView bufor = packet::fieldText(p.Bufor);
    if (!bufor.isEmpty())
        line += QStringLiteral(" text=%1").arg(output::quoted(cp1250::toUnicode(bufor)));
    say(line);
    const int gap = item.gapAfterMs;
    afterDrain([this, gap] { finishItem(gap); });
}

void Student::writeStream(Outgoing &item)
{
    switch (item.mode) {
    case StreamMode::Whole: {
        m_socket->write(item.bytes);
        const QString line = QStringLiteral("stream ") + item.summary.arg(item.bytes.size());
        const int gap = item.gapAfterMs;
        const bool picture = item.packet.iCommand == packet::ScreenShot;
        afterDrain([this, line, gap, picture] {
            if (picture)
                output::count("pictures");
            say(line);
            finishItem(gap);
        });
        break;
    }
    case StreamMode::HalfThenClose: {
        const QByteArray half = item.bytes.left(item.bytes.size() / 2);
        m_socket->write(half);
        const QString line = QStringLiteral("stream ") + item.summary.arg(half.size());
        afterDrain([this, line] {
            say(line);
            say(QStringLiteral("closing reason=\"disconnect mid-stream\""));
            m_queue.clear();
            m_socket->disconnectFromHost();
        });
        break;
    }
    case StreamMode::Slow:
        m_trickling = item;
        m_trickleLeft = item.bytes;
        trickle();
        m_trickleTimer.start();
        break;
    }
}

void Student::trickle()
{
    if (!m_socket)
        return;
    const qsizetype ticks = qsizetype(m_options.slowSeconds) * (1000 / TrickleTickMs);
    const qsizetype chunk = std::max<qsizetype>(1, (m_trickling.bytes.size() + ticks - 1) / ticks);
    m_socket->write(m_trickleLeft.left(chunk));
    m_trickleLeft.remove(0, std::min(chunk, m_trickleLeft.size()));
    if (!m_trickleLeft.isEmpty())
        return;
    m_trickleTimer.stop();
    const QString line
            = QStringLiteral("stream ") + m_trickling.summary.arg(m_trickling.bytes.size());
    const int gap = m_trickling.gapAfterMs;
    const bool picture = m_trickling.packet.iCommand == packet::ScreenShot;
    afterDrain([this, line, gap, picture] {
        if (picture)
            output::count("pictures");
        say(line);
        finishItem(gap);
    });
}

void Student::afterDrain(std::function<void()> next)
{
    m_afterDrain = std::move(next);
    if (m_socket->bytesToWrite() == 0)
        QMetaObject::invokeMethod(this, &Student::onBytesWritten, Qt::QueuedConnection);
}

void Student::onBytesWritten()
{
    if (!m_afterDrain || !m_socket || m_socket->bytesToWrite() > 0)
        return;
    auto next = std::move(m_afterDrain);
    m_afterDrain = nullptr;
    next();
}

void Student::finishItem(int gapMs)
{
    m_gapTimer.start(gapMs);
}

} // namespace agentsim
