#include "screen.h"

#include <QFont>
#include <QPainter>
#include <QRandomGenerator>

namespace agentsim {

QColor studentColour(int number)
{
    // The golden angle spreads any run of numbers around the colour wheel.
    const int hue = int(std::fmod(number * 137.508, 360.0));
    return QColor::fromHsv(hue, 150, 190);
}

QImage renderScreen(const QString &name, int number, QSize size, int shot, quint32 seed)
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
        painter.fillRect(frame.adjusted(4, 4, 4, 4), QColor(0, 0, 0, 60));
        painter.fillRect(frame, Qt::white);
        const QRect title(frame.left(), frame.top(), frame.width(), bar);
        painter.fillRect(title, colour.darker(200));
        painter.setPen(Qt::white);
        painter.drawText(title.adjusted(bar / 2, 0, 0, 0), Qt::AlignVCenter | Qt::AlignLeft,
                         titles[int(random.bounded(int(titles.size())))]);
        painter.setPen(QColor(60, 60, 60));
        for (int y = title.bottom() + bar; y + bar < frame.bottom(); y += bar + bar / 2) {
            const int len = frame.width() / 3 + int(random.bounded(frame.width() / 2));
            painter.fillRect(frame.left() + bar / 2, y, len, std::max(1, bar / 4),
                             QColor(170, 170, 170));
        }
    }

    const QRect taskBar(0, h - bar * 2, w, bar * 2);
    painter.fillRect(taskBar, QColor(30, 30, 40));
    painter.setPen(Qt::white);
    painter.drawText(taskBar.adjusted(bar, 0, -bar, 0), Qt::AlignVCenter | Qt::AlignLeft,
                     QStringLiteral("Start"));
    painter.drawText(taskBar.adjusted(bar, 0, -bar, 0), Qt::AlignVCenter | Qt::AlignRight,
                     QStringLiteral("zrzut %1").arg(shot));

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
