// Screen picture: the teacher asks for a student's screen, the agent
// announces the picture and sends it; figure: the time from the last stream
// byte handed to the connection to the picture shown in the screen tab
// (decoded, set into the view and painted), against libjpeg-turbo decoding
// the same bytes alone (tjDecompress2 into a buffer allocated before).
//
// The receiver's fixed first sleep (one second before its first read) is set
// to 0 for this measurement; its 10 ms idle sleeps are as in the console.
#include "benchsupport.h"

#include "link/jpegimage.h"
#include "shell/tfmain.h"
#include "shell/tfprogress.h"

#include <QApplication>
#include <QEventLoop>
#include <QLabel>
#include <QLinearGradient>
#include <QPainter>
#include <QRandomGenerator>
#include <QTabWidget>
#include <QTimer>
#include <QTreeView>

#include <atomic>
#include <memory>
#include <thread>
#include <utility>

#include <sys/socket.h>
#include <turbojpeg.h>
#include <unistd.h>

using namespace bench;

namespace {

// A busy desktop: a gradient, windows full of text, and a photograph (noise
// over a gradient), so that the picture costs what a real screen costs.
QImage desktopPicture(int width, int height)
{
    QImage image(width, height, QImage::Format_RGB32);
    QPainter painter(&image);
    QLinearGradient background(0, 0, width, height);
    background.setColorAt(0, QColor(30, 80, 140));
    background.setColorAt(1, QColor(10, 30, 60));
    painter.fillRect(image.rect(), background);

    QRandomGenerator random(7);
    QFont font;
    font.setPixelSize(std::max(10, height / 70));
    painter.setFont(font);
    const int line = font.pixelSize() + 4;
    for (int w = 0; w < 4; ++w) {
        const QRect frame(width * w / 5 + 20, height * (w % 2) / 3 + 30, width / 3, height / 2);
        painter.fillRect(frame, QColor(250, 250, 250));
        painter.fillRect(frame.left(), frame.top(), frame.width(), line + 6, QColor(40, 40, 60));
        painter.setPen(QColor(20, 20, 20));
        for (int y = frame.top() + 2 * line; y < frame.bottom(); y += line) {
            QString text;
            for (int c = 0; c < frame.width() / (font.pixelSize() / 2 + 1); ++c)
                text += QChar(u'a' + int(random.bounded(26)));
            painter.drawText(frame.left() + 6, y, text);
        }
    }
    painter.end();

    // The photograph: a quarter of the screen of noise over a gradient.
    for (int y = height / 2; y < height; ++y) {
        auto *row = reinterpret_cast<QRgb *>(image.scanLine(y));
        for (int x = width / 2; x < width; ++x) {
            const int n = int(random.bounded(48));
            row[x] = qRgb((x * 255 / width + n) & 255, (y * 255 / height + n) & 255, (n * 5) & 255);
        }
    }
    return image;
}

// The agent: answers each picture request with the announcement, waits until
// the console has started its receiver, then sends the picture in one go.
class Agent
{
public:
    // bytesPerSecond: the pace of the stream, as a network would deliver
    // it; 0 sends it in one go.
    Agent(int fd, QByteArray picture, const std::atomic<bool> &streamStarted, qint64 bytesPerSecond)
        : m_fd(fd)
        , m_picture(std::move(picture))
        , m_streamStarted(streamStarted)
        , m_bytesPerSecond(bytesPerSecond)
        , m_thread(&Agent::run, this)
    {}
    ~Agent()
    {
        ::shutdown(m_fd, SHUT_RDWR);
        m_thread.join();
        ::close(m_fd);
    }
    Clock::time_point lastByteSent() const { return m_lastByte.load(); }

private:
    void run()
    {
        qint32 number = 0;
        QByteArray pending;
        char buffer[2048];
        for (;;) {
            const ssize_t n = ::recv(m_fd, buffer, sizeof buffer, 0);
            if (n <= 0)
                return;
            pending.append(buffer, n);
            if (pending.count('|') < 9)
                continue; // one request is nine fields
            pending.clear();
            m_lastByte = Clock::time_point{};
            sendAll(m_fd, packetText(++number, packet::ScreenShot, packet::ScreenAnnounceFlag,
                                     qint32(m_picture.size())));
            while (!m_streamStarted.load())
                std::this_thread::yield();
            if (!send())
                return;
            m_lastByte = Clock::now();
        }
    }

    bool send()
    {
        if (m_bytesPerSecond <= 0)
            return sendAll(m_fd, m_picture);
        constexpr qsizetype Piece = 16 * 1024;
        const Clock::time_point start = Clock::now();
        for (qsizetype at = 0; at < m_picture.size(); at += Piece) {
            std::this_thread::sleep_until(
                    start + std::chrono::nanoseconds(at * 1'000'000'000 / m_bytesPerSecond));
            if (!sendAll(m_fd, m_picture.constData() + at,
                         size_t(std::min(Piece, m_picture.size() - at))))
                return false;
        }
        return true;
    }

    int m_fd;
    QByteArray m_picture;
    const std::atomic<bool> &m_streamStarted;
    qint64 m_bytesPerSecond;
    std::atomic<Clock::time_point> m_lastByte{};
    std::thread m_thread;
};

// A console with one agent that answers picture requests.
class PictureConsole
{
public:
    // showPhases: print where the time of each round goes.
    PictureConsole(const QByteArray &picture, qint64 bytesPerSecond, bool showPhases)
        : m_phases(showPhases)
    {
        TFMain &main = m_console.main();
        main.classroom().environment.streamTimings.firstSleepMs = 0;
        main.PageControl1->setCurrentWidget(main.TabSheet3);
        m_agent = std::make_unique<Agent>(
                connectAgent(m_console.port(), agentAddress(0).constData()), picture,
                main.classroom().StreamInProgress, bytesPerSecond);
        QTimer poll;
        QObject::connect(&poll, &QTimer::timeout, &m_loop, [&] {
            if (main.RemoteComputersListView->model()->rowCount() == 1)
                m_loop.quit();
        });
        poll.start(5);
        m_loop.exec();
        main.RemoteComputersListView->setCurrentIndex(
                main.RemoteComputersListView->model()->index(0, 0));
        main.RemoteComputersListViewClick();
        // Shown: the first paint of the screen tab's picture once it holds
        // the new one (it is cleared before each request), painted and put on
        // the screen (the zero timer fires once the paint event has been
        // handled).
        QObject::connect(&main, &TFMain::streamFinished, &m_loop,
                         [this] { m_finished = Clock::now(); });
        struct Phases : QObject
        {
            PictureConsole *self;
            bool eventFilter(QObject *o, QEvent *e) override
            {
                if (e->type() == QEvent::Hide && o == self->m_console.main().waitWindow())
                    self->m_closed = Clock::now();
                if (e->type() == QEvent::Paint && self->m_awaitingPaint
                    && !self->m_console.main().ScreenShootImage->pixmap().isNull()) {
                    self->m_awaitingPaint = false;
                    QTimer::singleShot(0, self->m_console.main().ScreenShootImage, [s = self] {
                        s->m_shown = Clock::now();
                        s->m_loop.quit();
                    });
                }
                return false;
            }
        };
        // The reception's last read, on its thread.
        if (showPhases)
            main.classroom().environment.streamReadHook = [this](qint64) {
                m_lastRead = Clock::now();
            };
        auto *phases = new Phases;
        phases->self = this;
        phases->setParent(&main);
        main.waitWindow()->installEventFilter(phases);
        main.ScreenShootImage->installEventFilter(phases);
    }

    // Milliseconds from the last byte sent to the picture shown.
    double round()
    {
        TFMain &main = m_console.main();
        main.ScreenShootImage->clear();
        // A teacher asks for pictures seconds apart, not back to back: the
        // window has painted and settled before the request.
        QTimer::singleShot(100, &m_loop, &QEventLoop::quit);
        m_loop.exec();
        m_awaitingPaint = true;
        {
            ProfiledSpan profiled;
            main.ScreenShootButtonClick();
            QTimer::singleShot(30000, &m_loop, &QEventLoop::quit);
            m_loop.exec();
        }
        const Clock::time_point last = m_agent->lastByteSent();
        if (main.ScreenShootImage->pixmap().isNull() || last == Clock::time_point{}) {
            std::fprintf(stderr, "console: no picture shown\n");
            return NAN;
        }
        if (m_phases)
            std::fprintf(stderr,
                         "last byte sent -> read %.1f -> wait window closed %.1f -> "
                         "decoded and finished %.1f -> shown %.1f\n",
                         msBetween(last, m_lastRead.load()), msBetween(m_lastRead.load(), m_closed),
                         msBetween(m_closed, m_finished), msBetween(m_finished, m_shown));
        return msBetween(last, m_shown);
    }

private:
    PrivateHome m_home;
    LocalNames m_names;
    Console m_console;
    std::unique_ptr<Agent> m_agent;
    QEventLoop m_loop;
    Clock::time_point m_shown, m_closed, m_finished;
    std::atomic<Clock::time_point> m_lastRead{};
    bool m_awaitingPaint = false;
    bool m_phases = false;
};

// libjpeg-turbo alone, decoding into a buffer that was allocated and
// touched before: the decoding work and nothing else.
class PictureFloor
{
public:
    PictureFloor(const QByteArray &picture, QSize size)
        : m_picture(picture)
        , m_size(size)
        , m_pixels(size_t(size.width()) * size_t(size.height()) * 4, 0)
        , m_decoder(tjInitDecompress())
    {}
    ~PictureFloor() { tjDestroy(m_decoder); }

    double round()
    {
        const Clock::time_point begin = Clock::now();
        const int failed = tjDecompress2(
                m_decoder, reinterpret_cast<const unsigned char *>(m_picture.constData()),
                (unsigned long)m_picture.size(), m_pixels.data(), m_size.width(), 0,
                m_size.height(), TJPF_BGRX, 0);
        return failed ? NAN : msBetween(begin, Clock::now());
    }

private:
    QByteArray m_picture;
    QSize m_size;
    std::vector<unsigned char> m_pixels;
    tjhandle m_decoder;
};

} // namespace

int main(int argc, char **argv)
{
    prepareEnvironment();
    QApplication app(argc, argv);
    const bool quick = app.arguments().contains(QStringLiteral("--quick"));
    // "--phases" prints where the time of each round goes.
    const bool phases = app.arguments().contains(QStringLiteral("--phases"));
    printMachine();
    printNote(QStringLiteral("picture: the receiver's first pause of 1 s is set to 0 "
                             "(streamTimings.firstSleepMs)"));

    const int rounds = quick ? 2 : 7;
    // In one go over the loopback (the console then still reads most of the
    // picture after its last byte is sent), and at the pace of a gigabit
    // classroom network (the console reads along as it comes).
    const std::pair<qint64, QString> paces[]
            = {{0, QStringLiteral("in one go")}, {125'000'000, QStringLiteral("at 1 Gbit/s")}};
    for (const QSize size : {QSize(1920, 1080), QSize(3840, 2160)}) {
        const QByteArray picture = jpegimage::encode(desktopPicture(size.width(), size.height()));
        for (const auto &[bytesPerSecond, pace] : paces) {
            // Console and floor take turns, so that a busy moment of the
            // machine falls on both.
            PictureConsole pictures(picture, bytesPerSecond, phases);
            PictureFloor decoder(picture, size);
            decoder.round(); // the library warm, as the console's is after its first
            std::vector<double> console, floor;
            for (int r = 0; r < rounds; ++r) {
                console.push_back(pictures.round());
                floor.push_back(decoder.round());
            }
            const QString name = QStringLiteral("%1 x %2 JPEG, %3 KiB, %4")
                                         .arg(size.width())
                                         .arg(size.height())
                                         .arg(picture.size() / 1024)
                                         .arg(pace);
            // Paced like a classroom network, most of the decoding is done as
            // the bytes arrive: a 4K picture's whole of it.
            const QString target = bytesPerSecond == 0   ? QStringLiteral("<= 1.3x")
                                   : size.width() > 1920 ? QStringLiteral("<= 1.0x")
                                                         : QStringLiteral("<= 1.1x");
            printResult(QStringLiteral("picture"), name, median(console), median(floor),
                        QStringLiteral("ms"), Better::Lower, target);
        }
    }
    return 0;
}
