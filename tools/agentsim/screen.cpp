#include "screen.h"

#include <QFont>
#include <QPainter>
#include <QRandomGenerator>

#include <cmath>

namespace agentsim {

QColor studentColour(int number)
{
    // The golden angle spreads any run of numbers around the colour wheel.
    const int hue = int(std::fmod(number * 137.508, 360.0));
    return QColor::fromHsv(hue, 150, 190);
}

namespace {

// A window with a title bar and a few grey lines of "text".
void drawWindow(QPainter &painter, const QRect &frame, const QString &title, const QColor &colour,
                int bar, QRandomGenerator &random)
{
    painter.fillRect(frame.adjusted(4, 4, 4, 4), QColor(0, 0, 0, 60));
    painter.fillRect(frame, Qt::white);
    const QRect titleBar(frame.left(), frame.top(), frame.width(), bar);
    painter.fillRect(titleBar, colour.darker(200));
    painter.setPen(Qt::white);
    painter.drawText(titleBar.adjusted(bar / 2, 0, 0, 0), Qt::AlignVCenter | Qt::AlignLeft, title);
    for (int y = titleBar.bottom() + bar; y + bar < frame.bottom(); y += bar + bar / 2) {
        const int len = frame.width() / 3 + int(random.bounded(frame.width() / 2));
        painter.fillRect(frame.left() + bar / 2, y, len, std::max(1, bar / 4),
                         QColor(170, 170, 170));
    }
}

// A window the student drags about: its place follows the time of day on a
// path of its own per student, so two pictures even a second apart differ.
void drawMovingWindow(QPainter &painter, QSize size, int bar, int number, quint32 seed, QTime taken)
{
    const int ww = std::max(bar * 4, size.width() / 5);
    const int wh = std::max(bar * 4, size.height() / 5);
    const double seconds = taken.msecsSinceStartOfDay() / 1000.0;
    // The golden angle again: neighbours start far apart on the path.
    const double phase = number * 2.39996;
    constexpr double twoPi = 6.283185307179586;
    const double fx = 0.5 + 0.5 * std::sin(twoPi * seconds / 17.0 + phase);
    const double fy = 0.5 + 0.5 * std::sin(twoPi * seconds / 11.0 + 1.7 * phase);
    const QRect frame(int(fx * std::max(0, size.width() - ww)),
                      int(fy * std::max(0, size.height() - bar * 2 - wh)), ww, wh);
    QRandomGenerator random(seed * 104729u + quint32(number));
    drawWindow(painter, frame, QStringLiteral("Przeglądarka"), QColor(60, 110, 190), bar, random);
}

// The desk clock in the top right corner, big enough to read in a thumbnail.
void drawClock(QPainter &painter, QSize size, int bar, QTime taken)
{
    QFont font;
    font.setBold(true);
    font.setPixelSize(std::max(8, size.height() / 14));
    painter.setFont(font);
    const QString text = taken.toString(QStringLiteral("HH:mm:ss"));
    QRect box = painter.fontMetrics().boundingRect(text);
    const int pad = font.pixelSize() / 4;
    box.setSize(box.size() + QSize(2 * pad, pad));
    box.moveTopRight(QPoint(size.width() - 1 - bar, bar));
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(20, 20, 30, 200));
    painter.drawRoundedRect(box, pad, pad);
    painter.setPen(Qt::white);
    painter.drawText(box, Qt::AlignCenter, text);
}

void drawTaskBar(QPainter &painter, QSize size, int bar, int shot)
{
    const QRect taskBar(0, size.height() - bar * 2, size.width(), bar * 2);
    painter.fillRect(taskBar, QColor(30, 30, 40));
    painter.setPen(Qt::white);
    painter.drawText(taskBar.adjusted(bar, 0, -bar, 0), Qt::AlignVCenter | Qt::AlignLeft,
                     QStringLiteral("Start"));
    painter.drawText(taskBar.adjusted(bar, 0, -bar, 0), Qt::AlignVCenter | Qt::AlignRight,
                     QStringLiteral("zrzut %1").arg(shot));
}

} // namespace

QImage renderScreen(const QString &name, int number, QSize size, int shot, quint32 seed,
                    QTime taken)
{
    QImage image(size, QImage::Format_RGB32);
    const QColor colour = studentColour(number);
    const int w = size.width();
    const int h = size.height();
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setRenderHint(QPainter::TextAntialiasing);

    QLinearGradient desktop(0, 0, 0, h);
    desktop.setColorAt(0, colour.lighter(130));
    desktop.setColorAt(1, colour.darker(150));
    painter.fillRect(image.rect(), desktop);

    // The windows stay put for a student from picture to picture.
    QRandomGenerator random(seed * 7919u + quint32(number));
    const QStringList titles = {QStringLiteral("Notatnik"), QStringLiteral("Kalkulator"),
                                QStringLiteral("Eksplorator"), QStringLiteral("Edytor grafiki")};
    QFont small;
    small.setPixelSize(std::max(8, h / 60));
    painter.setFont(small);
    const int bar = std::max(6, h / 40);
    for (int i = 0; i < 3; ++i) {
        const int ww = w / 4 + int(random.bounded(w / 4));
        const int wh = h / 4 + int(random.bounded(h / 4));
        const QRect frame(int(random.bounded(std::max(1, w - ww))),
                          int(random.bounded(std::max(1, h - wh - bar * 2))), ww, wh);
        const QString title = titles[int(random.bounded(int(titles.size())))];
        drawWindow(painter, frame, title, colour, bar, random);
    }
    drawMovingWindow(painter, size, bar, number, seed, taken);
    drawClock(painter, size, bar, taken);
    painter.setFont(small);

    drawTaskBar(painter, size, bar, shot);

    QFont big;
    big.setBold(true);
    big.setPixelSize(std::max(10, h / 6));
    painter.setFont(big);
    const QRect centre(0, 0, w, h - bar * 2);
    // A plate in the student's colour keeps the name readable over the windows.
    const QRect text = painter.fontMetrics().boundingRect(centre, Qt::AlignCenter, name);
    const int pad = big.pixelSize() / 4;
    QColor plate = colour.darker(220);
    plate.setAlpha(220);
    painter.setPen(Qt::NoPen);
    painter.setBrush(plate);
    painter.drawRoundedRect(text.adjusted(-pad, -pad / 2, pad, pad / 2), pad, pad);
    painter.setPen(Qt::white);
    painter.drawText(centre, Qt::AlignCenter, name);
    painter.end();
    return image;
}

} // namespace agentsim
