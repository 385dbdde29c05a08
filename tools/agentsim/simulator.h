#pragma once

#include "options.h"

#include <QList>
#include <QObject>
#include <QTimer>

namespace agentsim {

class Student;

// All the simulated students of one run: starts them one after another and
// ends the run when none is left connected.
class Simulator : public QObject
{
    Q_OBJECT
public:
    explicit Simulator(const Options &options, QObject *parent = nullptr);

    void start();
    // Ends the run cleanly: every student closes its connection.
    void stop(const QString &reason);

signals:
    void finished(int exitCode);

private:
    void studentDone();
    void finish(int exitCode);

    const Options &m_options;
    QList<Student *> m_students;
    int m_done = 0;
    bool m_stopping = false;
    bool m_finished = false;
    QTimer m_stopLimit;
};

} // namespace agentsim
