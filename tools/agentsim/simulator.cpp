#include "simulator.h"

#include "output.h"
#include "student.h"

namespace agentsim {

namespace {
// A console that stops reading must not keep the simulator from ending.
constexpr int StopLimitMs = 3000;
} // namespace

Simulator::Simulator(const Options &options, QObject *parent)
    : QObject(parent)
    , m_options(options)
{
    m_stopLimit.setSingleShot(true);
    connect(&m_stopLimit, &QTimer::timeout, this, [this] { finish(0); });
}

void Simulator::start()
{
    for (int number = 1; number <= m_options.students; ++number) {
        auto *student = new Student(number, m_options, this);
        m_students.append(student);
        connect(student, &Student::done, this, &Simulator::studentDone);
        // Hundreds of students at once would overflow the console's queue of
        // pending connections; one after another they all get in.
        QTimer::singleShot((number - 1) * m_options.connectIntervalMs, student, &Student::start);
    }
}

void Simulator::stop(const QString &reason)
{
    if (m_stopping || m_finished)
        return;
    m_stopping = true;
    output::line(QStringLiteral("stopping signal=%1").arg(reason));
    m_stopLimit.start(StopLimitMs);
    for (Student *student : std::as_const(m_students))
        student->stop();
}

void Simulator::studentDone()
{
    if (++m_done < m_students.size())
        return;
    if (m_stopping) {
        finish(0);
        return;
    }
    const bool allGotIn = std::all_of(m_students.begin(), m_students.end(),
                                      [](const Student *s) { return s->hasConnected(); });
    finish(allGotIn ? 0 : 1);
}

void Simulator::finish(int exitCode)
{
    if (m_finished)
        return;
    m_finished = true;
    m_stopLimit.stop();
    if (!m_options.tallyPath.isEmpty() && !output::writeTally(m_options.tallyPath))
        output::line(
                QStringLiteral("tally-failed file=%1").arg(output::quoted(m_options.tallyPath)));
    output::line(QStringLiteral("finished exit=%1").arg(exitCode));
    emit finished(exitCode);
}

} // namespace agentsim
