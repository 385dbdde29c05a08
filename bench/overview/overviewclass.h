#pragma once

// The class of the overview benchmark: the agent simulator's students as a
// process of their own, and the bare loop that is the console's floor.

#include "benchsupport.h"

#include <QImage>
#include <QProcess>
#include <QSize>

#include <cstdio>
#include <memory>
#include <vector>

#include <turbojpeg.h>

namespace bench::overview {

constexpr int Students = 30;
inline const QSize Screen(1920, 1080);

// Medians of the phases of the pictures of a run, printed with --phases:
// from the request to the announcement read, from there to the stream's last
// read, and from there to the thumbnail made (the console: and its tile told).
struct Phases
{
    std::vector<double> ask, read, decode;
    std::vector<double> tabSwitch; // the console: showing the tab, synchronously
    void print(const char *who) const
    {
        std::fprintf(stderr,
                     "%s, medians of %zu pictures: asked -> announced %.1f ms, -> last byte "
                     "read %.1f ms, -> thumbnail %.1f ms",
                     who, decode.size(), median(ask), median(read), median(decode));
        if (!tabSwitch.empty())
            std::fprintf(stderr, "; showing the tab %.1f ms (worst %.1f)", median(tabSwitch),
                         maximum(tabSwitch));
        std::fprintf(stderr, "\n");
    }
};

// The simulator's thirty students, connected to port, each from its own
// address from sourceBase on. They answer a picture request as soon as the
// picture is drawn and encoded (no capture delay) and take no pause after a
// stream; between the announcement and the stream they pause streamDelayMs.
class Simulator
{
public:
    Simulator(quint16 port, const QString &sourceBase, int streamDelayMs);
    ~Simulator();

private:
    QProcess m_process;
};

// The bare loop: the simulator's students connected to a plain listening
// socket, asked one after another over blocking sockets.
class OverviewFloor
{
public:
    OverviewFloor(QSize bound, int streamDelayMs);
    ~OverviewFloor();
    bool ready() const { return int(m_fds.size()) == Students; }
    // Milliseconds for the thirty pictures; NaN when one failed.
    double round();
    const Phases &phases() const { return m_phases; }

private:
    bool picture(int fd);
    bool receiveAnnouncement(int fd, qint32 &declared, QByteArray &stream);
    QImage thumbnail(const QByteArray &jpeg);

    QSize m_bound;
    int m_listener = -1;
    std::vector<int> m_fds;
    std::unique_ptr<Simulator> m_simulator;
    tjhandle m_decoder;
    qint32 m_number = 0;
    std::vector<char> m_buffer = std::vector<char>(64 * 1024);
    Phases m_phases;
};

} // namespace bench::overview
