#include "storage/roomplan.h"

#include "platform/cp1250.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QSet>

#include <algorithm>

namespace roomplan {

namespace {

constexpr const char *Header = "ROOMPLAN 1";

bool toSide(const QByteArray &text, int *value, int bound)
{
    bool ok = false;
    *value = text.toInt(&ok);
    return ok && *value >= 0 && *value < bound && QByteArray::number(*value) == text;
}

QString lineError(int line, const char *what)
{
    return QStringLiteral("wiersz %1: %2").arg(line).arg(QString::fromUtf8(what));
}

// One "PLACE column row key" line; the key may hold spaces.
QString parsePlace(const QByteArray &line, int number, Plan *plan, QSet<QPoint> *taken)
{
    const QList<QByteArray> words = line.split(' ');
    if (words.size() < 4 || words[0] != "PLACE")
        return lineError(number, "nieznany wiersz");
    QPoint cell;
    int x = 0;
    int y = 0;
    if (!toSide(words[1], &x, plan->columns) || !toSide(words[2], &y, plan->rows))
        return lineError(number, "miejsce poza salą");
    cell = {x, y};
    const QByteArray raw = line.mid(words[0].size() + words[1].size() + words[2].size() + 3);
    const QString key = cp1250::toUnicode(raw);
    if (raw.isEmpty() || raw.size() > MaxKeyBytes || key.trimmed() != key)
        return lineError(number, "zła nazwa komputera");
    if (plan->places.contains(key) || taken->contains(cell))
        return lineError(number, "komputer lub miejsce podane dwa razy");
    if (plan->places.size() >= MaxComputers)
        return lineError(number, "za dużo komputerów");
    plan->places.insert(key, cell);
    taken->insert(cell);
    return {};
}

// A name for a refused file that no file has yet.
QString asideName(const QString &folder)
{
    const QString stamp = QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss"));
    QString name = QStringLiteral("roomplan-uszkodzony-%1.txt").arg(stamp);
    for (int n = 2; QFileInfo::exists(folder + QLatin1Char('/') + name); ++n)
        name = QStringLiteral("roomplan-uszkodzony-%1_%2.txt").arg(stamp).arg(n);
    return name;
}

} // namespace

bool Plan::place(const QString &key, QPoint cell)
{
    if (!contains(cell) || (!places.contains(key) && places.size() >= MaxComputers))
        return false;
    const auto from = places.constFind(key);
    const QString occupant = places.key(cell);
    if (!occupant.isEmpty() && occupant != key) {
        if (from != places.constEnd())
            places[occupant] = *from;
        else
            places.remove(occupant);
    }
    places[key] = cell;
    return true;
}

void Plan::resize(int newColumns, int newRows)
{
    columns = std::clamp(newColumns, 1, MaxSide);
    rows = std::clamp(newRows, 1, MaxSide);
}

QList<QPoint> arrange(const Plan &plan, const QStringList &keys)
{
    QList<QPoint> cells(keys.size(), QPoint(-1, -1));
    QSet<QPoint> taken;
    for (int i = 0; i < keys.size(); ++i) {
        const auto at = plan.places.constFind(keys[i]);
        if (at != plan.places.constEnd() && plan.contains(*at) && !taken.contains(*at)) {
            cells[i] = *at;
            taken.insert(*at);
        }
    }
    // Cells the plan gives to computers not here stay theirs.
    for (const QPoint &cell : plan.places)
        taken.insert(cell);
    int next = 0;
    for (QPoint &cell : cells) {
        if (cell.x() >= 0)
            continue;
        while (taken.contains(QPoint(next % plan.columns, next / plan.columns)))
            ++next;
        cell = {next % plan.columns, next / plan.columns};
        taken.insert(cell);
    }
    return cells;
}

QByteArray serialize(const Plan &plan)
{
    QByteArray text = QByteArray(Header) + '\n';
    text += "GRID " + QByteArray::number(plan.columns) + ' ' + QByteArray::number(plan.rows) + '\n';
    QList<QString> keys = plan.places.keys();
    std::sort(keys.begin(), keys.end(), [&](const QString &a, const QString &b) {
        const QPoint p = plan.places[a];
        const QPoint q = plan.places[b];
        return std::pair(p.y(), p.x()) < std::pair(q.y(), q.x());
    });
    for (const QString &key : keys) {
        const QPoint cell = plan.places[key];
        if (plan.contains(cell))
            text += "PLACE " + QByteArray::number(cell.x()) + ' ' + QByteArray::number(cell.y())
                    + ' ' + cp1250::fromUnicode(key) + '\n';
    }
    return text;
}

QString parse(const QByteArray &text, Plan *plan)
{
    if (text.size() > MaxFileBytes)
        return QStringLiteral("plik jest za duży");
    QList<QByteArray> lines = text.split('\n');
    if (lines.last().isEmpty())
        lines.removeLast();
    for (QByteArray &line : lines)
        line.chop(line.endsWith('\r') ? 1 : 0);
    if (lines.size() < 2 || lines[0] != Header)
        return lineError(1, "to nie jest plan sali");
    const QList<QByteArray> grid = lines[1].split(' ');
    int columns = 0;
    int rows = 0;
    if (grid.size() != 3 || grid[0] != "GRID" || !toSide(grid[1], &columns, MaxSide + 1)
        || !toSide(grid[2], &rows, MaxSide + 1) || columns < 1 || rows < 1)
        return lineError(2, "zły rozmiar sali");
    Plan read;
    read.columns = columns;
    read.rows = rows;
    QSet<QPoint> taken;
    for (int i = 2; i < lines.size(); ++i) {
        if (const QString error = parsePlace(lines[i], i + 1, &read, &taken); !error.isEmpty())
            return error;
    }
    *plan = read;
    return {};
}

Loaded load(const QString &folder)
{
    Loaded loaded;
    QFile file(folder + QLatin1Char('/') + QLatin1String(FileName));
    if (!file.exists())
        return loaded;
    if (!file.open(QIODevice::ReadOnly)) {
        loaded.writable = false;
        loaded.error = QStringLiteral("Nie można odczytać planu sali: %1").arg(file.errorString());
        return loaded;
    }
    const QByteArray text = file.read(MaxFileBytes + 1);
    file.close();
    const QString reason = parse(text, &loaded.plan);
    if (reason.isEmpty())
        return loaded;
    loaded.plan = Plan();
    const QString aside = asideName(folder);
    if (file.rename(folder + QLatin1Char('/') + aside)) {
        loaded.keptAs = aside;
        loaded.error = QStringLiteral("Plan sali jest uszkodzony (%1). Zachowano go jako %2, "
                                      "a komputery trzeba rozmieścić od nowa.")
                               .arg(reason, aside);
    } else {
        // Left where it is and never written over.
        loaded.writable = false;
        loaded.error = QStringLiteral("Plan sali jest uszkodzony (%1) i nie dało się go "
                                      "odłożyć: zmiany układu nie zostaną zapisane.")
                               .arg(reason);
    }
    return loaded;
}

bool save(const QString &folder, const Plan &plan)
{
    QSaveFile file(folder + QLatin1Char('/') + QLatin1String(FileName));
    if (!file.open(QIODevice::WriteOnly))
        return false;
    // Only the teacher's: the folder is, and the file says who sits where.
    file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    file.write(serialize(plan));
    return file.commit();
}

} // namespace roomplan
