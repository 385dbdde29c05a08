#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QPoint>
#include <QString>
#include <QStringList>

// Where the computers stand in the room: a grid of columns and rows the
// teacher sizes, and the cell each computer was put in, by its name (its
// address when it has none). Kept in the data folder as "roomplan.txt",
// Windows-1250 text, one line each:
//   ROOMPLAN 1
//   GRID <columns> <rows>
//   PLACE <column> <row> <name or address>
// Columns and rows count from 0; a cell holds one computer and a computer
// one cell. A file that breaks any of this, or is larger than a room of
// MaxComputers can need, is refused and kept aside under a new name.
namespace roomplan {

constexpr const char *FileName = "roomplan.txt";
constexpr int MaxComputers = 1000;
constexpr int MaxSide = 50;
constexpr int MaxKeyBytes = 64;
// The largest file a room of MaxComputers gives, with room to spare.
constexpr qint64 MaxFileBytes = 128 * 1024;

struct Plan
{
    int columns = 6;
    int rows = 5;
    QHash<QString, QPoint> places;

    bool operator==(const Plan &other) const = default;

    bool contains(QPoint cell) const
    {
        return cell.x() >= 0 && cell.y() >= 0 && cell.x() < columns && cell.y() < rows;
    }
    // Puts a computer in a cell; whoever stood there takes the cell it left
    // (or is no longer placed, when it came from outside the plan). False
    // for a cell outside the grid or a plan already full.
    bool place(const QString &key, QPoint cell);
    // Clamped to 1..MaxSide.
    void resize(int columns, int rows);
};

// The cell of each key, in the order given: placed computers where they
// were put, the others in the first free cells row after row; rows are
// added below the grid when it is full.
QList<QPoint> arrange(const Plan &plan, const QStringList &keys);

// The file's text, and back; parse() gives the reason a text is refused
// (empty when it is sound).
QByteArray serialize(const Plan &plan);
QString parse(const QByteArray &text, Plan *plan);

struct Loaded
{
    Plan plan;
    // Why the file was refused or could not be read: empty when it was
    // read or there was none.
    QString error;
    // Where a refused file was kept.
    QString keptAs;
    // False when the file is there but unreadable: it must not be
    // written over.
    bool writable = true;
};

// Reads folder/roomplan.txt; a damaged one is renamed aside (never over an
// existing file) and an empty plan is given.
Loaded load(const QString &folder);
// Replaces the file whole (never half written); false on failure.
bool save(const QString &folder, const Plan &plan);

} // namespace roomplan
