#include "commands/watch.h"

#include "link/classroom.h"

#include <algorithm>

namespace commands {

Watch::Watch(Classroom &classroom, QObject *parent)
    : QObject(parent)
    , m_classroom(classroom)
{
    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, this, &Watch::ask);
    connect(&classroom, &Classroom::glanceReceived, this,
            [this](const platform::ConnectionPtr &c, const StreamReception::Result &result) {
                answered(c, result.complete && !result.picture.isNull());
            });
    connect(&classroom, &Classroom::glanceRefused, this,
            [this](const platform::ConnectionPtr &c) { answered(c, false); });
    // The teacher's own request took the picture this one waited for.
    connect(&classroom, &Classroom::glanceDropped, this,
            [this](const platform::ConnectionPtr &c) { answered(c, false); });
    connect(&classroom.roster(), &Roster::left, this, [this](Computer *computer) {
        if (computer == m_computer)
            stop();
    });
}

void Watch::start(Computer *computer)
{
    if (!computer || !computer->isOpen())
        return stop();
    m_computer = computer;
    m_awaiting = false;
    ask();
}

void Watch::stop()
{
    m_timer.stop();
    m_awaiting = false;
    if (m_computer) {
        m_computer = nullptr;
        emit stopped();
    }
}

void Watch::setIntervalSeconds(int seconds)
{
    m_intervalSeconds = std::clamp(seconds, MinIntervalSeconds, MaxIntervalSeconds);
}

// One request at a time: the next interval is counted from the answer, or
// from the time the answer was given up.
void Watch::ask()
{
    // The teacher has chosen another computer: the watch was of this one.
    if (!m_computer || !m_computer->isOpen() || m_classroom.selected() != m_computer)
        return stop();
    const platform::ConnectionPtr connection = m_computer->connection;
    // While the teacher's own stream comes, or another request of this
    // computer's is answered, the watch waits its turn.
    if (m_classroom.StreamInProgress.load() || m_classroom.glancesAwaited(connection) > 0
        || !m_classroom.requestGlance(connection, m_bound)) {
        m_timer.start(m_intervalSeconds * 1000);
        return;
    }
    m_awaiting = true;
    // An answer that never comes is given up after the classroom forgets it.
    m_timer.start(std::max(m_intervalSeconds * 1000, Classroom::GlanceForgottenMs));
}

void Watch::answered(const platform::ConnectionPtr &connection, bool picture)
{
    if (!m_computer || m_computer->connection != connection || !m_awaiting)
        return;
    m_awaiting = false;
    if (m_classroom.selected() != m_computer)
        return stop();
    if (picture)
        emit pictureReceived(m_computer);
    m_timer.start(m_intervalSeconds * 1000);
}

} // namespace commands
