#include "commands/classoverview.h"

#include "commands/commander.h"
#include "link/classroom.h"
#include "platform/cp1250.h"
#include "storage/eventlog.h"
#include "storage/settings.h"

#include <algorithm>
#include <limits>

namespace commands {

namespace {

void logEntry(const QString &text)
{
    WriteLog(cp1250::fromUnicode(text));
}

} // namespace

ClassOverview::ClassOverview(Classroom &classroom, Commander &commander, QObject *parent)
    : QObject(parent)
    , m_classroom(classroom)
{
    m_clock.start();
    m_pumpTimer.setSingleShot(true);
    m_answerTimer.setSingleShot(true);
    m_teacherTimer.setSingleShot(true);
    connect(&m_pumpTimer, &QTimer::timeout, this, &ClassOverview::pump);
    connect(&m_answerTimer, &QTimer::timeout, this, &ClassOverview::answerTimedOut);
    connect(&m_teacherTimer, &QTimer::timeout, this, &ClassOverview::teacherDone);

    connect(&commander, &Commander::waitRequested, this, &ClassOverview::teacherAsked);
    connect(&classroom, &Classroom::waitEnded, this, &ClassOverview::teacherDone);
    connect(&classroom, &Classroom::streamFinished, this, &ClassOverview::teacherDone);
    connect(&classroom, &Classroom::teacherPictureFitted, this,
            &ClassOverview::teacherPictureShown);
    connect(&classroom, &Classroom::glanceAnnounced, this, &ClassOverview::announced);
    connect(&classroom, &Classroom::glanceReceived, this,
            [this](const platform::ConnectionPtr &c, const StreamReception::Result &result) {
                const bool shown = result.complete && !result.picture.isNull();
                std::erase(m_lingering, c);
                settle(c, shown ? TileState::Current : TileState::NoAnswer);
            });
    connect(&classroom, &Classroom::glanceRefused, this, [this](const platform::ConnectionPtr &c) {
        std::erase(m_lingering, c);
        settle(c, TileState::NoAnswer);
    });
    // The teacher took the computer's next picture: the tile keeps what it
    // shows and the computer is asked again in its turn.
    connect(&classroom, &Classroom::glanceDropped, this, [this](const platform::ConnectionPtr &c) {
        if (forget(c))
            pump();
    });
    connect(&classroom.roster(), &Roster::joined, this, &ClassOverview::pump);
    // An answer to the teacher's question frees its computer for pictures.
    connect(&classroom, &Classroom::answerReceived, this, [this] { pump(); });
    classroom.setTileBound(m_bound);
    // After the list has dealt with the leaving: the places this gives out
    // are those of the list as it is then.
    connect(classroom.MyServer, &platform::TcpServer::clientDisconnect, this,
            &ClassOverview::markDisconnected, Qt::QueuedConnection);
}

void ClassOverview::setActive(bool active)
{
    if (active == m_active)
        return;
    m_active = active;
    logEntry(active ? QStringLiteral("Podgląd klasy: włączony")
                    : QStringLiteral("Podgląd klasy: wyłączony"));
    if (active) {
        pump();
    } else {
        m_pumpTimer.stop();
    }
}

void ClassOverview::shutDown()
{
    m_active = false;
    m_pumpTimer.stop();
}

void ClassOverview::setIntervalSeconds(int seconds)
{
    seconds = std::clamp(seconds, MinIntervalSeconds, MaxIntervalSeconds);
    if (seconds == m_intervalSeconds)
        return;
    m_intervalSeconds = seconds;
    WriteSetting(IntervalTag, QByteArray::number(seconds));
    pump();
}

void ClassOverview::setThumbnailBound(QSize bound)
{
    m_bound = bound;
    m_classroom.setTileBound(bound);
}

void ClassOverview::restoreInterval()
{
    bool ok = false;
    const int stored = ReadSetting(IntervalTag).trimmed().toInt(&ok);
    m_intervalSeconds = ok ? std::clamp(stored, MinIntervalSeconds, MaxIntervalSeconds)
                           : DefaultIntervalSeconds;
}

ClassOverview::TileState ClassOverview::stateOf(const platform::ConnectionPtr &connection) const
{
    if (!connection || !connection->isOpen())
        return TileState::Disconnected;
    const Computer *computer = m_classroom.computerOf(connection);
    return computer ? computer->tileState() : TileState::Waiting;
}

qint64 ClassOverview::waitAfterAsking(const Tile &tile) const
{
    const qint64 interval = qint64(m_intervalSeconds) * 1000;
    const qint64 backedOff = interval << std::min(tile.failures, MaxBackoffSteps);
    return std::max(interval, std::min<qint64>(backedOff, MaxBackoffMs));
}

// The teacher's question goes first: a computer that has one to answer is
// not asked for its picture, which would come before its answer.
bool ClassOverview::due(const Computer &computer, qint64 now) const
{
    const Tile &tile = computer.tile;
    const bool intervalOver = tile.askedAt < 0 || now - tile.askedAt >= waitAfterAsking(tile);
    const bool teacherDone = tile.teacherAt < 0 || now - tile.teacherAt >= timings.teacherGraceMs;
    return intervalOver && teacherDone && !m_classroom.questionOpen(computer);
}

bool ClassOverview::busy(const platform::ConnectionPtr &connection) const
{
    return std::any_of(m_outstanding.begin(), m_outstanding.end(),
                       [&](const Request &r) { return r.connection == connection; })
           || std::find(m_lingering.begin(), m_lingering.end(), connection) != m_lingering.end();
}

// Asks the computers that are due, up to MaxOutstanding at once, when nothing
// stands in the way; each round goes on where the last one stopped.
void ClassOverview::pump()
{
    if (!m_active || m_teacherWaiting || m_classroom.StreamInProgress.load())
        return;
    // A copy: a send that fails closes the connection, which takes its
    // computer out of the class.
    const std::vector<Computer *> computers = m_classroom.computers();
    const qint64 now = m_clock.elapsed();
    const bool keep = keepPlaces(computers, now);
    bool doubtfulFull = doubtfulPlacesFull(keep);
    // Where this round began: m_next moves on with each request.
    const size_t start = m_next;
    for (size_t step = 0; step < computers.size(); ++step) {
        if (int(m_outstanding.size()) >= MaxOutstanding)
            return;
        const size_t i = (start + step) % computers.size();
        Computer *computer = computers[i];
        const bool doubtful = inDoubt(computer->tile);
        if (doubtful && doubtfulFull)
            continue;
        if (askIfDue(computer, now)) {
            m_next = i + 1;
            if (doubtful)
                doubtfulFull = doubtfulPlacesFull(keep);
        }
    }
    scheduleNext(now);
}

// Not known to answer: its last request brought no picture, or none has
// come from it yet.
bool ClassOverview::inDoubt(const Tile &tile)
{
    return tile.failures > 0 || tile.state != TileState::Current;
}

// Places are kept for computers known to answer while some computer of the
// class has stopped answering or one known to answer is due: a fresh class
// is asked as fast as the places allow.
bool ClassOverview::keepPlaces(const std::vector<Computer *> &computers, qint64 now) const
{
    return std::any_of(computers.begin(), computers.end(), [&](const Computer *c) {
        return c->tile.failures > 0
               || (!inDoubt(c->tile) && c->isOpen() && !busy(c->connection) && due(*c, now));
    });
}

bool ClassOverview::doubtfulPlacesFull(bool keepPlaces) const
{
    return keepPlaces
           && std::count_if(m_outstanding.begin(), m_outstanding.end(), [](const Request &r) {
                  return r.inDoubt;
              }) >= MaxOutstandingDoubtful;
}

// True when the request went out.
bool ClassOverview::askIfDue(Computer *computer, qint64 now)
{
    const platform::ConnectionPtr connection = computer->connection;
    Tile &tile = computer->tile;
    if (!computer->isOpen() || busy(connection) || !due(*computer, now))
        return false;
    tile.askedAt = now;
    if (!m_classroom.requestGlance(connection, m_bound)) {
        if (connection->isOpen())
            notSent(computer, now);
        return false;
    }
    m_outstanding.push_back({connection, now + timings.answerTimeoutMs, false, inDoubt(tile)});
    armDeadline();
    return true;
}

// A request that could not go out leaves no trace but the tile; one the
// teacher's own request stands in for is no failure.
void ClassOverview::notSent(Computer *computer, qint64 now)
{
    Tile &tile = computer->tile;
    const bool teacher
            = tile.teacherAt >= 0 && now - tile.teacherAt <= Classroom::AnswerForgottenMs;
    if (teacher || tile.state == TileState::NoAnswer)
        return;
    tile.state = TileState::NoAnswer;
    m_classroom.roster().touch(computer, Roster::tileRoles());
}

// Wakes up when the first computer becomes due again; one still answering
// wakes it by its answer.
void ClassOverview::scheduleNext(qint64 now)
{
    if (int(m_outstanding.size()) >= MaxOutstanding)
        return;
    // Those left out for want of a place are woken as a request ends.
    const bool doubtfulFull = doubtfulPlacesFull(keepPlaces(m_classroom.computers(), now));
    qint64 wait = std::numeric_limits<qint64>::max();
    for (const Computer *computer : m_classroom.computers()) {
        if (!computer->isOpen() || busy(computer->connection)
            || (doubtfulFull && inDoubt(computer->tile)))
            continue;
        const Tile &tile = computer->tile;
        // One with a question open is woken by its answer (settled or not,
        // the list changes); at the latest when the question is over.
        const qint64 intervalAt = m_classroom.questionOpen(*computer)
                                          ? now + 1000
                                          : tile.askedAt + waitAfterAsking(tile);
        const qint64 teacherAt = tile.teacherAt < 0 ? 0 : tile.teacherAt + timings.teacherGraceMs;
        const qint64 at = std::max(intervalAt, teacherAt);
        wait = std::min(wait, at - now);
    }
    if (wait != std::numeric_limits<qint64>::max())
        m_pumpTimer.start(int(std::clamp<qint64>(wait, 10, 60000)));
}

// The picture comes on its own connection, beside the others; from now on
// the stream's bound holds. One announced after its request was given up is
// received, but its computer is not asked again until it ends.
void ClassOverview::announced(const platform::ConnectionPtr &connection)
{
    const auto found = std::find_if(m_outstanding.begin(), m_outstanding.end(),
                                    [&](const Request &r) { return r.connection == connection; });
    if (found == m_outstanding.end()) {
        if (!busy(connection))
            m_lingering.push_back(connection);
        return;
    }
    found->announced = true;
    found->deadline = m_clock.elapsed() + timings.streamTimeoutMs;
    armDeadline();
}

// True when the computer had a request outstanding.
bool ClassOverview::forget(const platform::ConnectionPtr &connection)
{
    const bool had = std::erase_if(m_outstanding,
                                   [&](const Request &r) { return r.connection == connection; })
                     > 0;
    if (had)
        armDeadline();
    return had;
}

// One timer for all the requests: on the earliest deadline.
void ClassOverview::armDeadline()
{
    if (m_outstanding.empty()) {
        m_answerTimer.stop();
        return;
    }
    qint64 earliest = m_outstanding.front().deadline;
    for (const Request &r : m_outstanding)
        earliest = std::min(earliest, r.deadline);
    m_answerTimer.start(int(std::max<qint64>(0, earliest - m_clock.elapsed())));
}

void ClassOverview::settle(const platform::ConnectionPtr &connection, TileState state)
{
    // A computer that has left takes its tile with it.
    Computer *computer = m_classroom.computerOf(connection);
    const bool stopped = computer && state == TileState::NoAnswer
                         && computer->tile.state != TileState::NoAnswer;
    if (computer) {
        computer->tile.state = state;
        computer->tile.failures
                = state == TileState::Current ? 0 : std::min(computer->tile.failures + 1, 64);
    }
    forget(connection);
    // A computer that has left meanwhile has not fallen silent. Its record
    // names it: a closed connection no longer knows whom it was with.
    if (stopped && m_active) {
        // The host name comes from the network's name service: shown, not obeyed.
        logEntry(QStringLiteral("Podgląd klasy: brak odpowiedzi od %1 (%2)")
                         .arg(cp1250::toUnicode(computer->address),
                              cp1250::toUnicode(eventlog::visible(computer->hostName))));
    }
    if (computer)
        m_classroom.roster().touch(computer, Roster::tileRoles());
    pump();
}

// A computer past its deadline is asked again next round; a stream still
// coming keeps its computer aside until it ends.
void ClassOverview::answerTimedOut()
{
    const qint64 now = m_clock.elapsed();
    std::vector<Request> late;
    for (const Request &r : m_outstanding) {
        if (r.deadline <= now)
            late.push_back(r);
    }
    for (const Request &r : late) {
        if (r.announced && r.connection->isOpen())
            m_lingering.push_back(r.connection);
        else // its picture, should it still come, is nobody's now
            m_classroom.giveUpGlances(r.connection);
        settle(r.connection, TileState::NoAnswer);
    }
    armDeadline();
}

void ClassOverview::teacherAsked(Computer *computer)
{
    m_teacherWaiting = true;
    m_teacherComputer = computer;
    if (computer)
        computer->tile.teacherAt = m_clock.elapsed();
    m_teacherTimer.start(timings.teacherWaitMs);
}

// The wait ends with the answer, the stream's end or the wait given up; a
// stream that outlasts the wait ends it again. The grace counts from the
// last of these, so a slow computer is not asked while it may still answer
// the teacher, and a quick one is not left alone longer than that.
void ClassOverview::teacherDone()
{
    if (Computer *computer = m_teacherComputer)
        computer->tile.teacherAt = m_clock.elapsed();
    m_teacherWaiting = false;
    m_teacherTimer.stop();
    pump();
}

// The teacher's picture is as fresh as a glance's answer: the tile shows it
// and the computer's next turn is one interval away, without the grace.
void ClassOverview::teacherPictureShown(const platform::ConnectionPtr &connection)
{
    Computer *computer = m_classroom.computerOf(connection);
    if (!computer)
        return;
    Tile &tile = computer->tile;
    tile.state = TileState::Current;
    tile.askedAt = m_clock.elapsed();
    tile.teacherAt = -1;
    m_classroom.roster().touch(computer, Roster::tileRoles());
    pump();
}

// Computers that stay listed after their connection closed show it.
void ClassOverview::markDisconnected()
{
    for (Computer *computer : m_classroom.computers()) {
        if (!computer->isOpen())
            m_classroom.roster().touch(computer, Roster::tileRoles());
    }
    std::vector<platform::ConnectionPtr> closed;
    for (const Request &r : m_outstanding) {
        if (!r.connection->isOpen())
            closed.push_back(r.connection);
    }
    std::erase_if(m_lingering, [](const platform::ConnectionPtr &c) { return !c->isOpen(); });
    for (const platform::ConnectionPtr &c : closed)
        forget(c);
    pump();
}

} // namespace commands
