#pragma once

#include "link/roster.h"

#include <QObject>
#include <QPointer>
#include <QSize>
#include <QTimer>

class Classroom;

namespace commands {

// One student watched: the computer's picture asked for every interval the
// teacher sets, quietly, as the class overview asks (no wait window, no
// status fields, no log entry), one request at a time, so a slow computer
// is never asked again before it has answered. It ends when the teacher
// stops it, watches another computer or the computer leaves.
class Watch : public QObject
{
    Q_OBJECT
public:
    static constexpr int MinIntervalSeconds = 1;
    static constexpr int MaxIntervalSeconds = 60;
    static constexpr int DefaultIntervalSeconds = 2;

    explicit Watch(Classroom &classroom, QObject *parent = nullptr);

    // Asks at once, then every interval.
    void start(Computer *computer);
    void stop();
    bool isWatching() const { return m_computer != nullptr; }
    Computer *watched() const { return m_computer; }

    // Clamped to the allowed range; takes effect from the next picture.
    void setIntervalSeconds(int seconds);
    int intervalSeconds() const { return m_intervalSeconds; }
    // The size the computer's tile is given from the picture (the full
    // picture is kept with the computer as it came).
    void setThumbnailBound(QSize bound) { m_bound = bound; }

signals:
    // The computer's picture has come: Computer::state has it.
    void pictureReceived(Computer *computer);
    void stopped();

private:
    void ask();
    void answered(const platform::ConnectionPtr &connection, bool picture);

    Classroom &m_classroom;
    QPointer<Computer> m_computer;
    QTimer m_timer;
    QSize m_bound{240, 135};
    int m_intervalSeconds = DefaultIntervalSeconds;
    bool m_awaiting = false;
};

} // namespace commands
