#include "overviewclass.h"

#include "link/packet.h"

#include <algorithm>
#include <cstdio>
#include <thread>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace bench::overview {

Simulator::Simulator(quint16 port, const QString &sourceBase, const Behaviour &behaviour)
{
    m_process.setProgram(QStringLiteral(DOCENTOR_AGENTSIM));
    m_process.setArguments(
            QStringList{
                    QStringLiteral("--port"),
                    QString::number(port),
                    QStringLiteral("--students"),
                    QString::number(behaviour.students),
                    QStringLiteral("--source-base"),
                    sourceBase,
                    QStringLiteral("--connect-interval=0"),
                    QStringLiteral("--screen-size=%1x%2").arg(Screen.width()).arg(Screen.height()),
                    QStringLiteral("--capture-delay=%1").arg(behaviour.captureDelayMs),
                    QStringLiteral("--stream-delay=%1").arg(behaviour.streamDelayMs),
                    QStringLiteral("--after-stream-gap=0"),
                    QStringLiteral("--quiet"),
            }
            + behaviour.faults);
    m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_process.setStandardOutputFile(QProcess::nullDevice());
    m_process.start();
    if (!m_process.waitForStarted())
        std::fprintf(stderr, "simulator: %s\n", qPrintable(m_process.errorString()));
}

Simulator::~Simulator()
{
    m_process.terminate();
    if (!m_process.waitForFinished(10000))
        m_process.kill();
    m_process.waitForFinished();
}

struct OverviewFloor::Worker
{
    tjhandle decoder = tjInitDecompress();
    std::vector<char> buffer = std::vector<char>(64 * 1024);
    Phases phases;
    ~Worker() { tjDestroy(decoder); }
    bool receiveAnnouncement(int fd, qint32 &declared, QByteArray &stream);
};

OverviewFloor::OverviewFloor(QSize bound, const Behaviour &behaviour)
    : m_bound(bound)
    , m_students(behaviour.students)
{
    quint16 port = 0;
    m_listener = listenLoopback(port);
    m_simulator = std::make_unique<Simulator>(port, QStringLiteral("127.0.2.1"), behaviour);
    const Clock::time_point until = Clock::now() + std::chrono::seconds(60);
    while (int(m_fds.size()) < m_students && Clock::now() < until) {
        pollfd p{m_listener, POLLIN, 0};
        if (::poll(&p, 1, 1000) <= 0)
            continue;
        int fd;
        while ((fd = ::accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC)) >= 0) {
            const int one = 1;
            ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            m_fds.push_back(fd);
        }
    }
}

OverviewFloor::~OverviewFloor()
{
    m_simulator.reset();
    closeAll(m_fds);
    ::close(m_listener);
}

// Each thread takes the next student not yet asked until none is left.
double OverviewFloor::round(int atOnce)
{
    std::atomic<size_t> next{0};
    std::atomic<bool> failed{false};
    const Clock::time_point begin = Clock::now();
    std::vector<std::thread> threads;
    for (int t = 0; t < atOnce; ++t) {
        threads.emplace_back([&] {
            Worker worker;
            for (size_t i = next++; i < m_fds.size() && !failed; i = next++) {
                if (!picture(m_fds[i], worker))
                    failed = true;
            }
            std::lock_guard lock(m_phasesMutex);
            for (auto [from, to] : {std::pair(&worker.phases.ask, &m_phases.ask),
                                    std::pair(&worker.phases.read, &m_phases.read),
                                    std::pair(&worker.phases.decode, &m_phases.decode)})
                to->insert(to->end(), from->begin(), from->end());
        });
    }
    for (std::thread &t : threads)
        t.join();
    return failed ? NAN : msBetween(begin, Clock::now());
}

// One picture: the request, the announcement, the stream read in large
// pieces, the thumbnail.
bool OverviewFloor::picture(int fd, Worker &worker)
{
    std::vector<char> &buffer = worker.buffer;
    const Clock::time_point asked = Clock::now();
    if (!sendAll(fd, packetText(++m_number, packet::ScreenShot, 0)))
        return false;
    qint32 declared = 0;
    QByteArray stream;
    if (!worker.receiveAnnouncement(fd, declared, stream))
        return false;
    const Clock::time_point announced = Clock::now();
    stream.reserve(declared);
    while (stream.size() < declared) {
        const ssize_t n
                = ::recv(fd, buffer.data(),
                         std::min<size_t>(buffer.size(), size_t(declared - stream.size())), 0);
        if (n <= 0)
            return false;
        stream.append(buffer.data(), n);
    }
    const Clock::time_point read = Clock::now();
    const bool decoded = !thumbnail(stream, worker.decoder).isNull();
    worker.phases.ask.push_back(msBetween(asked, announced));
    worker.phases.read.push_back(msBetween(announced, read));
    worker.phases.decode.push_back(msBetween(read, Clock::now()));
    return decoded;
}

// Reads until the announcement's nine fields are in; what came after them
// is the beginning of the stream.
bool OverviewFloor::Worker::receiveAnnouncement(int fd, qint32 &declared, QByteArray &stream)
{
    QByteArray text;
    while (text.count('|') < 9) {
        const ssize_t n = ::recv(fd, buffer.data(), buffer.size(), 0);
        if (n <= 0)
            return false;
        text.append(buffer.data(), n);
    }
    qsizetype end = -1;
    for (int bars = 0; bars < 9; ++bars)
        end = text.indexOf('|', end + 1);
    stream = text.mid(end + 1);
    text.truncate(end + 1);
    PacketRecord p;
    ParsePacketText(text, p);
    declared = p.StreamSize;
    return p.iCommand == packet::ScreenShot && p.iFlag == packet::ScreenAnnounceFlag
           && declared > 0;
}

// As the console fits a picture into a tile: the decoder scales down by the
// largest power of two (up to 8) that keeps the picture at least as large as
// its fitted size, and what is left is scaled smoothly.
QImage OverviewFloor::thumbnail(const QByteArray &jpeg, tjhandle decoder) const
{
    int width = 0, height = 0, subsampling = 0, colours = 0;
    const auto *bytes = reinterpret_cast<const unsigned char *>(jpeg.constData());
    if (tjDecompressHeader3(decoder, bytes, (unsigned long)jpeg.size(), &width, &height,
                            &subsampling, &colours)
        != 0)
        return {};
    const QSize fitted = QSize(width, height).scaled(m_bound, Qt::KeepAspectRatio);
    int denom = 1;
    for (int d = 8; d > 1; d /= 2) {
        if (width / d >= fitted.width() && height / d >= fitted.height()) {
            denom = d;
            break;
        }
    }
    QImage image((width + denom - 1) / denom, (height + denom - 1) / denom, QImage::Format_RGB32);
    if (tjDecompress2(decoder, bytes, (unsigned long)jpeg.size(), image.bits(), image.width(),
                      int(image.bytesPerLine()), image.height(), TJPF_BGRX, 0)
        != 0)
        return {};
    return image.size() == fitted
                   ? image
                   : image.scaled(m_bound, Qt::KeepAspectRatio, Qt::SmoothTransformation);
}

} // namespace bench::overview
