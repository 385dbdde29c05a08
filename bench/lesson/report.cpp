#include "report.h"

#include "benchsupport.h"

#include <QDir>
#include <QFile>
#include <QImage>
#include <QPainter>
#include <QPainterPath>

#include <algorithm>
#include <cmath>
#include <functional>

namespace lesson {

namespace {

// Memory is judged once the class is settled: after 5 minutes, or a third
// of a shorter lesson.
double settledMinute(const Options &options)
{
    return std::min(5.0, options.minutes / 3.0);
}

QString yesNo(bool met)
{
    return met ? QStringLiteral("met") : QStringLiteral("NOT met");
}

} // namespace

Verdicts judge(const Lesson &lesson, const Options &options)
{
    const Totals &t = lesson.totals();
    Verdicts v;
    v.lostAnswers = t.answers.sent - t.answers.kept;
    v.lostPackets = t.packets.sent - t.packets.kept;
    v.lostPictures = t.pictures.sent - t.pictures.kept;

    double low = INFINITY, high = 0, first = -1, last = 0;
    int judged = 0, fresh = 0;
    for (const Sample &s : lesson.samples()) {
        if (s.minute >= settledMinute(options)) {
            low = std::min(low, s.residentMiB);
            high = std::max(high, s.residentMiB);
            if (first < 0)
                first = s.residentMiB;
            last = s.residentMiB;
        }
        // The first round of pictures is not yet in during the first minute.
        if (s.minute >= std::min(1.0, options.minutes / 4.0)) {
            ++judged;
            fresh += s.freshTiles >= s.wellBehaved;
        }
    }
    v.memorySpreadMiB = high >= low ? high - low : 0;
    v.memoryGrowthMiB = first >= 0 ? last - first : 0;
    v.freshShare = judged ? double(fresh) / judged : 0;

    int inTime = 0;
    for (const CommandTiming &c : lesson.commands()) {
        if (c.ms < 0)
            continue;
        ++v.commandsAnswered;
        inTime += c.ms - c.agentMs <= 2000;
    }
    v.commandsInTime = lesson.commands().empty() ? 0 : double(inTime) / lesson.commands().size();
    return v;
}

bool writeCsv(const Lesson &lesson, const QString &folder)
{
    QFile samples(QDir(folder).filePath(QStringLiteral("lesson-samples.csv")));
    QFile commands(QDir(folder).filePath(QStringLiteral("lesson-commands.csv")));
    if (!samples.open(QIODevice::WriteOnly | QIODevice::Truncate)
        || !commands.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    QByteArray text = "minute,phase,resident_mib,descriptors,threads,log_bytes,fresh_tiles,"
                      "well_behaved_tiles,worst_posted_wait_ms\n";
    for (const Sample &s : lesson.samples())
        text += QStringLiteral("%1,%2,%3,%4,%5,%6,%7,%8,%9\n")
                        .arg(s.minute, 0, 'f', 3)
                        .arg(phases()[size_t(s.phase)].name)
                        .arg(s.residentMiB, 0, 'f', 1)
                        .arg(s.descriptors)
                        .arg(s.threads)
                        .arg(s.logBytes)
                        .arg(s.freshTiles)
                        .arg(s.wellBehaved)
                        .arg(s.worstWaitMs, 0, 'f', 1)
                        .toUtf8();
    samples.write(text);
    text = "minute,command,answer_ms,student_ms\n";
    for (const CommandTiming &c : lesson.commands())
        text += QStringLiteral("%1,\"%2\",%3,%4\n")
                        .arg(c.minute, 0, 'f', 3)
                        .arg(c.command)
                        .arg(c.ms, 0, 'f', 0)
                        .arg(c.agentMs, 0, 'f', 0)
                        .toUtf8();
    return commands.write(text) == text.size() && samples.error() == QFile::NoError;
}

namespace {

constexpr int ChartWidth = 1400;
constexpr int PanelHeight = 230;
constexpr int Left = 80;
constexpr int Right = 40;
constexpr int Top = 80;
constexpr int Gap = 45;

struct Panel
{
    QString title;
    QColor colour;
    std::function<double(const Sample &)> value;
    double ceiling; // the axis's top; 0: from the data
    double target;  // drawn as a dashed line; NaN: none
};

void drawPanel(QPainter &p, const Panel &panel, const QRect &area, const Lesson &lesson,
               double minutes)
{
    double top = panel.ceiling;
    if (top <= 0) {
        for (const Sample &s : lesson.samples())
            top = std::max(top, panel.value(s));
        top = top <= 0 ? 1 : top * 1.1;
    }
    auto x = [&](double minute) {
        return area.left() + minute / minutes * area.width();
    };
    auto y = [&](double v) {
        return area.bottom() - std::min(v, top) / top * area.height();
    };

    p.setPen(QColor(60, 60, 60));
    p.drawRect(area);
    for (int i = 0; i <= 4; ++i) {
        const double v = top * i / 4;
        p.drawText(QRectF(0, y(v) - 8, Left - 6, 16), Qt::AlignRight | Qt::AlignVCenter,
                   QString::number(v, 'f', v < 10 ? 1 : 0));
    }
    p.drawText(area.left(), area.top() - 8, panel.title);
    if (!std::isnan(panel.target)) {
        p.setPen(QPen(Qt::darkRed, 1, Qt::DashLine));
        p.drawLine(QPointF(area.left(), y(panel.target)), QPointF(area.right(), y(panel.target)));
    }
    QPainterPath path;
    bool first = true;
    for (const Sample &s : lesson.samples()) {
        const QPointF point(x(s.minute), y(panel.value(s)));
        first ? path.moveTo(point) : path.lineTo(point);
        first = false;
    }
    p.setPen(QPen(panel.colour, 1.6));
    p.drawPath(path);
}

void drawLegend(QPainter &p, const std::vector<Panel> &panels, QPointF at)
{
    auto entry = [&](const QString &text, const std::function<void(const QRectF &)> &swatch) {
        swatch(QRectF(at.x(), at.y() - 6, 28, 12));
        p.setPen(Qt::black);
        const QRectF room(at.x() + 34, at.y() - 9, 400, 18);
        QRectF used;
        p.drawText(room, Qt::AlignLeft | Qt::AlignVCenter, text, &used);
        at.rx() += 34 + used.width() + 24;
    };
    static const QStringList names = {QStringLiteral("memory"), QStringLiteral("fresh tiles"),
                                      QStringLiteral("worst posted-event wait")};
    for (size_t i = 0; i < panels.size(); ++i)
        entry(names.value(int(i)), [&](const QRectF &r) {
            p.setPen(QPen(panels[i].colour, 2.5));
            p.drawLine(r.topLeft() + QPointF(0, 6), r.topRight() + QPointF(0, 6));
        });
    entry(QStringLiteral("target"), [&](const QRectF &r) {
        p.setPen(QPen(Qt::darkRed, 1, Qt::DashLine));
        p.drawLine(r.topLeft() + QPointF(0, 6), r.topRight() + QPointF(0, 6));
    });
    entry(QStringLiteral("the odd student's phase (shaded)"), [&](const QRectF &r) {
        p.fillRect(r.adjusted(0, 0, -14, 0), QColor(250, 240, 225));
        p.fillRect(r.adjusted(14, 0, 0, 0), QColor(235, 235, 250));
    });
}

} // namespace

bool drawChart(const Lesson &lesson, const Options &options, const QString &path)
{
    const std::vector<Panel> panels = {
            {QStringLiteral("resident memory (MiB)"), QColor(30, 90, 180),
             [](const Sample &s) { return s.residentMiB; }, 0, NAN},
            {QStringLiteral("well-behaved tiles younger than twice the interval (%)"),
             QColor(20, 130, 60),
             [](const Sample &s) {
                 return s.wellBehaved ? 100.0 * s.freshTiles / s.wellBehaved : 0;
             },
             100, 100},
            {QStringLiteral("longest wait of an event posted to the window (ms, cut at 1000)"),
             QColor(200, 90, 20), [](const Sample &s) { return s.worstWaitMs; }, 1000, 100},
    };
    const int height = Top + int(panels.size()) * (PanelHeight + Gap) + 40;
    QImage image(ChartWidth, height, QImage::Format_RGB32);
    image.fill(Qt::white);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    const double minutes = std::max(options.minutes, 0.01);
    const int width = ChartWidth - Left - Right;
    const int bottom = Top + int(panels.size()) * (PanelHeight + Gap) - Gap;

    // The odd student's phases, shaded in turn behind every panel.
    const double length = minutes / double(phases().size());
    for (size_t i = 0; i < phases().size(); ++i) {
        const double from = Left + i * length / minutes * width;
        const QRectF band(from, Top - 70, length / minutes * width, bottom - Top + 70);
        p.fillRect(band, i % 2 ? QColor(235, 235, 250) : QColor(250, 240, 225));
        p.setPen(QColor(90, 90, 90));
        p.drawText(band.adjusted(2, 2, -2, 0), Qt::AlignHCenter | Qt::AlignTop,
                   QStringLiteral("odd student: ") + phases()[i].name);
    }
    for (size_t i = 0; i < panels.size(); ++i)
        drawPanel(p, panels[i], QRect(Left, Top + int(i) * (PanelHeight + Gap), width, PanelHeight),
                  lesson, minutes);

    // Legend and the minutes' axis.
    p.setPen(Qt::black);
    for (int m = 0; m <= int(minutes); m += std::max(1, int(minutes / 15)))
        p.drawText(QRectF(Left + m / minutes * width - 20, bottom + 4, 40, 16), Qt::AlignCenter,
                   QString::number(m));
    p.drawText(QRectF(Left, bottom + 18, width, 16), Qt::AlignCenter,
               QStringLiteral("minutes of the lesson (%1 students, overview every %2 s)")
                       .arg(options.students)
                       .arg(options.overviewSeconds));
    drawLegend(p, panels, QPointF(Left, bottom + 44));
    return image.save(path);
}

void printSummary(const Lesson &lesson, const Verdicts &v)
{
    using bench::Better;
    using bench::printResult;
    const Totals &t = lesson.totals();
    const QString name = QStringLiteral("lesson");
    printResult(name, QStringLiteral("answers lost (of %1 sent)").arg(t.answers.sent),
                double(v.lostAnswers), NAN, QStringLiteral("answers"), Better::Lower,
                QStringLiteral("0: ") + yesNo(v.lostAnswers == 0));
    printResult(name, QStringLiteral("packets not in the day log (of %1 sent)").arg(t.packets.sent),
                double(v.lostPackets), NAN, QStringLiteral("packets"), Better::Lower,
                QStringLiteral("0: ") + yesNo(v.lostPackets == 0));
    printResult(name,
                QStringLiteral("pictures not shown (of %1 sent, %2 asked)")
                        .arg(t.pictures.sent)
                        .arg(t.pictureRequests),
                double(v.lostPictures), NAN, QStringLiteral("pictures"), Better::Lower,
                QStringLiteral("0: ") + yesNo(v.lostPictures == 0));
    printResult(name,
                QStringLiteral("longest posted-event wait (%1 of %2 over 100 ms)")
                        .arg(t.waitsOver100)
                        .arg(t.waits),
                t.worstWaitMs, NAN, QStringLiteral("ms"), Better::Lower,
                QStringLiteral("<= 100: ") + yesNo(t.worstWaitMs <= 100));
    printResult(name, QStringLiteral("resident memory spread once settled"), v.memorySpreadMiB, NAN,
                QStringLiteral("MiB"), Better::Lower,
                QStringLiteral("<= 10: ") + yesNo(v.memorySpreadMiB <= 10));
    printResult(name, QStringLiteral("samples with every tile fresh"), 100 * v.freshShare, NAN,
                QStringLiteral("%"), Better::Higher,
                QStringLiteral(">= 95: ") + yesNo(v.freshShare >= 0.95));
    printResult(name,
                QStringLiteral("commands answered within 2 s of the student (%1 of %2 answered)")
                        .arg(v.commandsAnswered)
                        .arg(lesson.commands().size()),
                100 * v.commandsInTime, NAN, QStringLiteral("%"), Better::Higher,
                QStringLiteral("100: ") + yesNo(v.commandsInTime >= 1.0));
    printResult(name,
                QStringLiteral("the odd student's slowest answer to a question while its "
                               "pictures trickle (%1 of %2 unanswered)")
                        .arg(t.slowPhaseUnanswered)
                        .arg(t.slowPhaseQuestions),
                t.slowPhaseSlowestAnswerS, NAN, QStringLiteral("s"), Better::Lower,
                QStringLiteral("< 20, all answered: ")
                        + yesNo(t.slowPhaseSlowestAnswerS < 20 && t.slowPhaseUnanswered == 0));
    bench::printNote(QStringLiteral("lesson: the odd student sent %1 answers (%2 kept), %3 packets "
                                    "(%4 logged), %5 pictures (%6 shown); %7 packets logged as "
                                    "copies, %8 left out of the log; %9 commands waited for "
                                    "the wait window to go")
                             .arg(t.answers.oddSent)
                             .arg(t.answers.oddKept)
                             .arg(t.packets.oddSent)
                             .arg(t.packets.oddKept)
                             .arg(t.pictures.oddSent)
                             .arg(t.pictures.oddKept)
                             .arg(t.copiesLogged)
                             .arg(t.leftOutOfLog)
                             .arg(t.clicksDeferred));
}

} // namespace lesson
