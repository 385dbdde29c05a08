#include "student.h"

#include "commands/commandtable.h"
#include "link/jpegimage.h"
#include "link/processlist.h"
#include "output.h"
#include "platform/cp1250.h"
#include "screen.h"

#include <limits>

namespace agentsim {

namespace {

constexpr qint32 WrongPassValue = 12345;
// Numbers of two students stay this far apart, so that the console, which
// drops a packet numbered like the last one it took from anybody, does not
// take one student's answer for a copy of another's.
constexpr qint32 NumberSpacing = 100000;
constexpr int TrickleTickMs = 100;
constexpr int SurplusBytes = 1000;
// The console never sends this much without a complete packet in it.
constexpr qsizetype InboxLimit = 64 * 1024;

// What the console's own command table calls the command; the rest are
// named by what the simulator cannot tell about them.
QString operationName(qint32 command, qint32 flag)
{
    const QString known = commands::toolName(command, flag);
    if (!known.isEmpty())
        return known;
    switch (command) {
    case packet::Device:
        return QStringLiteral("unknown device operation");
    case packet::Power:
        return QStringLiteral("unknown power operation");
    case packet::Message:
        return QStringLiteral("unknown message kind");
    default:
        return QStringLiteral("unknown");
    }
}

// What the student reports on the console's status line after a device,
// power or start-menu command.
QString deviceStatus(qint32 command, qint32 flag)
{
    static const char16_t *const device[]
            = {u"Wyłączono monitor",   u"Włączono monitor", u"Wyłączono klawiaturę",
               u"Włączono klawiaturę", u"Wyłączono mysz",   u"Włączono mysz"};
    static const char16_t *const power[] = {u"Wyłączanie komputera", u"Wylogowywanie użytkownika",
                                            u"Ponowne uruchamianie komputera"};
    if (command == packet::Device)
        return flag >= 0 && flag < 6 ? QString::fromUtf16(device[flag])
                                     : QStringLiteral("Nieznana operacja: %1").arg(flag);
    if (command == packet::Power)
        return flag >= 0 && flag < 3 ? QString::fromUtf16(power[flag])
                                     : QStringLiteral("Nieznana operacja zasilania: %1").arg(flag);
    if (command == packet::LockStartMenu)
        return QStringLiteral("Zablokowano menu Start");
    return QStringLiteral("Odblokowano menu Start");
}

} // namespace

QList<QByteArray> takePackets(QByteArray &inbox)
{
    static const QByteArray nextStart = '|' + QByteArray::number(packet::PassValue) + '|';
    QList<QByteArray> packets;
    for (;;) {
        int bars = 0;
        qsizetype ninth = -1;
        for (qsizetype i = 0; i < inbox.size(); ++i) {
            if (inbox[i] == '|' && ++bars == 9) {
                ninth = i;
                break;
            }
        }
        if (ninth < 0)
            return packets;
        const qsizetype next = inbox.indexOf(nextStart, ninth);
        const qsizetype end = next < 0 ? inbox.size() : next + 1;
        packets.append(inbox.left(end));
        inbox.remove(0, end);
    }
}

Student::Student(int number, const Options &options, QObject *parent)
    : QObject(parent)
    , m_options(options)
    , m_number(number)
    , m_name(options.studentName(number))
    , m_faults(options.faultsFor(number))
    , m_processes(options.syntheticProcesses, number, options.processCount)
    , m_random(options.seed * 31u + quint32(number))
    , m_nextNumber(options.firstNumber + qint32((number - 1) % 20000) * NumberSpacing)
{
    m_gapTimer.setSingleShot(true);
    connect(&m_gapTimer, &QTimer::timeout, this, [this] {
        m_busy = false;
        pump();
    });
    m_trickleTimer.setInterval(TrickleTickMs);
    connect(&m_trickleTimer, &QTimer::timeout, this, &Student::trickle);
    m_retryTimer.setSingleShot(true);
    connect(&m_retryTimer, &QTimer::timeout, this, &Student::connectNow);
}

void Student::say(const QString &text) const
{
    output::line(m_name + QLatin1Char(' ') + text);
}

void Student::start()
{
    if (!m_stopping && !m_socket)
        connectNow();
}

void Student::connectNow()
{
    if (m_stopping)
        return;
    m_connectedNow = false;
    m_socket = new QTcpSocket(this);
    connect(m_socket, &QTcpSocket::connected, this, &Student::onConnected);
    connect(m_socket, &QTcpSocket::readyRead, this, &Student::onReadyRead);
    connect(m_socket, &QTcpSocket::bytesWritten, this, &Student::onBytesWritten);
    connect(m_socket, &QTcpSocket::stateChanged, this, [this](QAbstractSocket::SocketState state) {
        if (state == QAbstractSocket::UnconnectedState)
            onDisconnected();
    });
    if (!m_options.sourceBase.isNull()) {
        // Each student its own loopback address, so the console can tell them apart.
        const QHostAddress local(m_options.sourceBase.toIPv4Address() + quint32(m_number - 1));
        if (!m_socket->bind(local, 0)) {
            say(QStringLiteral("connect-failed error=%1")
                        .arg(output::quoted(m_socket->errorString())));
            m_socket->deleteLater();
            m_socket = nullptr;
            endSession();
            return;
        }
    }
    m_socket->connectToHost(m_options.host, m_options.port);
}

void Student::onConnected()
{
    m_connectedNow = true;
    m_everConnected = true;
    ++m_session;
    m_inbox.clear();
    // Small packets go out at once instead of waiting to be merged with the next.
    m_socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    say(QStringLiteral("connected local-address=%1 local-port=%2")
                .arg(m_socket->localAddress().toString())
                .arg(m_socket->localPort()));
}

void Student::onDisconnected()
{
    if (!m_socket)
        return;
    if (m_connectedNow)
        say(QStringLiteral("disconnected"));
    else if (!m_stopping) // an attempt given up on stopping failed at nothing
        say(QStringLiteral("connect-failed error=%1").arg(output::quoted(m_socket->errorString())));
    m_socket->disconnect(this);
    m_socket->deleteLater();
    m_socket = nullptr;
    endSession();
}

void Student::endSession()
{
    m_connectedNow = false;
    ++m_session;
    m_queue.clear();
    m_busy = false;
    m_afterDrain = nullptr;
    m_gapTimer.stop();
    m_trickleTimer.stop();
    m_trickleLeft.clear();
    m_inbox.clear();
    if (m_options.reconnect && !m_stopping) {
        say(QStringLiteral("reconnecting delay=%1").arg(m_options.reconnectDelayMs));
        m_retryTimer.start(m_options.reconnectDelayMs);
        return;
    }
    if (!m_done) {
        m_done = true;
        emit done();
    }
}

void Student::stop()
{
    m_stopping = true;
    m_retryTimer.stop();
    if (m_socket) {
        if (m_socket->state() == QAbstractSocket::ConnectedState) {
            // What is being written still goes out; nothing new is started.
            m_queue.clear();
            m_trickleTimer.stop();
            m_socket->disconnectFromHost();
        } else {
            m_socket->abort();
        }
        return;
    }
    if (!m_done) {
        m_done = true;
        emit done();
    }
}

void Student::onReadyRead()
{
    if (!m_socket)
        return;
    m_inbox += m_socket->readAll();
    for (QByteArray &text : takePackets(m_inbox)) {
        // The closing "|" ends Bufor; it is not part of the text.
        if (text.endsWith('|'))
            text.chop(1);
        PacketRecord command;
        ParsePacketText(text, command);
        handle(command);
        if (!m_socket)
            return;
    }
    if (m_inbox.size() > InboxLimit) {
        say(QStringLiteral("ignored reason=\"no packet in received bytes\" size=%1")
                    .arg(m_inbox.size()));
        m_inbox.clear();
    }
}

void Student::handle(const PacketRecord &p)
{
    if (p.Pass != packet::PassValue) {
        say(QStringLiteral("ignored reason=\"wrong pass\" pass=%1 no=%2 code=%3 flag=%4")
                    .arg(p.Pass)
                    .arg(p.iPacketNo)
                    .arg(p.iCommand)
                    .arg(p.iFlag));
        return;
    }
    m_lastConsoleNumber = p.iPacketNo;

    QString line = QStringLiteral("received no=%1 code=%2 flag=%3 what=%4")
                           .arg(p.iPacketNo)
                           .arg(p.iCommand)
                           .arg(p.iFlag)
                           .arg(output::quoted(operationName(p.iCommand, p.iFlag)));
    const QString procName = cp1250::toUnicode(packet::fieldText(p.ProcName));
    const QString bufor = cp1250::toUnicode(packet::fieldText(p.Bufor));
    if (p.iCommand == packet::CloseProcess)
        line += QStringLiteral(" pid=%1").arg(p.ProcID);
    else if (p.iCommand == packet::RunProgram)
        line += QStringLiteral(" program=%1").arg(output::quoted(procName));
    else if (p.iCommand == packet::Message)
        line += QStringLiteral(" text=%1").arg(output::quoted(bufor));
    say(line);

    switch (p.iCommand) {
    case packet::ProcessList:
        sendProcessList();
        break;
    case packet::CloseProcess:
        answerStatus((m_processes.close(p.ProcID) ? QStringLiteral("Zamknięto proces %1")
                                                  : QStringLiteral("Nie znaleziono procesu %1"))
                             .arg(p.ProcID),
                     p.ProcID);
        break;
    case packet::ScreenShot:
        output::count("picture-requests");
        sendScreen();
        break;
    case packet::RunProgram: {
        const QByteArray program = packet::fieldText(p.ProcName).toByteArray().trimmed();
        if (program.isEmpty()) {
            answerStatus(QStringLiteral("Nie podano nazwy programu"));
            break;
        }
        const quint32 id = m_processes.start(program);
        answerStatus(QStringLiteral("Uruchomiono program %1").arg(cp1250::toUnicode(program)), id,
                     program);
        break;
    }
    case packet::Device:
    case packet::LockStartMenu:
    case packet::UnlockStartMenu:
        answerStatus(deviceStatus(p.iCommand, p.iFlag));
        break;
    case packet::Power:
        answerStatus(deviceStatus(p.iCommand, p.iFlag));
        if (m_options.powerCloses) {
            Outgoing close;
            close.kind = Outgoing::Close;
            close.summary = QStringLiteral("power operation");
            m_queue.append(close);
            pump();
        }
        break;
    case packet::Message: {
        // A person needs a moment to read and answer.
        const int session = m_session;
        QTimer::singleShot(m_options.answerDelayMs, this, [this, session, p] {
            if (session == m_session)
                answerMessage(p);
        });
        break;
    }
    default:
        break; // an agent has nothing to say to a command it does not know
    }
}

void Student::answerStatus(const QString &text, quint32 processId, const QByteArray &procName)
{
    // Every status text goes back as code 1: the console shows the text of
    // any code 1 packet on its status line.
    enqueuePacket(packet::CloseProcess, 0, 0, cp1250::fromUnicode(text), processId, procName);
}

void Student::answerMessage(const PacketRecord &command)
{
    switch (command.iFlag) {
    case packet::PlainMessage:
        // The console has no answer of its own for the OK button: code 6
        // with flag 0 would read as a "no". A status text tells the teacher
        // that the message was seen, without touching the answer field.
        if (m_options.okAnswer)
            answerStatus(QStringLiteral("Komunikat potwierdzony"));
        break;
    case packet::YesNoQuestion: {
        bool yes = m_options.yesNo == YesNo::Yes;
        if (m_options.yesNo == YesNo::Random)
            yes = m_random.bounded(2) == 1;
        enqueuePacket(packet::Message, yes ? packet::AnswerYes : packet::AnswerNo);
        break;
    }
    case packet::TypedAnswer: {
        QString answer = m_options.typedAnswer;
        answer.replace(QLatin1String("%n"), m_name);
        enqueuePacket(packet::Message, packet::AnswerTyped, 0, cp1250::fromUnicode(answer));
        break;
    }
    default:
        break;
    }
}

void Student::sendProcessList()
{
    const QList<processlist::ProcessEntry> entries = m_processes.entries();
    enqueueStream(packet::ProcessList, packet::ProcessListAnnounceFlag, processlist::build(entries),
                  QStringLiteral("processes"), QStringLiteral("entries=%1").arg(entries.size()));
}

void Student::sendScreen()
{
    // A real agent needs a while to grab and encode its screen; drawing and
    // encoding here count towards that while, so the announcement comes when
    // the longer of the two has passed.
    const QDeadlineTimer ready(m_options.captureDelayMs, Qt::PreciseTimer);
    ++m_shots;
    if (m_faults.noScreen) {
        enqueuePacket(packet::ScreenShot, packet::ScreenCloseWaitFlag, 0, {}, 0, {}, -1, ready);
        return;
    }
    const QSize size = m_options.screenSize;
    QByteArray jpeg = jpegimage::encode(
            renderScreen(m_name, m_number, size, m_shots, m_options.seed, QTime::currentTime()),
            m_options.jpegQuality);
    if (jpeg.isEmpty()) {
        // Without a picture the teacher's wait window should still close.
        say(QStringLiteral("screen-unavailable reason=\"the encoder gave no data\""));
        enqueuePacket(packet::ScreenShot, packet::ScreenCloseWaitFlag, 0, {}, 0, {}, -1, ready);
        return;
    }
    if (m_faults.corruptJpeg) {
        const qsizetype half = jpeg.size() / 2;
        jpeg.replace(0, half, QByteArray(half, '\0'));
    }
    enqueueStream(packet::ScreenShot, packet::ScreenAnnounceFlag, jpeg, QStringLiteral("screen"),
                  QStringLiteral("width=%1 height=%2").arg(size.width()).arg(size.height()), ready);
}

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
