#pragma once

// A whole lesson played on the real console: a class of simulated students,
// one of them misbehaving in turn in each way the simulator knows, the
// overview shown, and the teacher's commands, questions and group commands
// at a teacher's pace. What it measures goes into Samples and Totals.

#include "link/streamreception.h"
#include "probes.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QHash>
#include <QObject>
#include <QProcess>
#include <QSet>
#include <QSize>
#include <QStringList>
#include <QTimer>

#include <functional>
#include <memory>
#include <vector>

class TFMain;

namespace lesson {

struct Options
{
    QString simulator;
    QString outputFolder = QStringLiteral(".");
    double minutes = 45;
    int students = 30;
    int captureDelayMs = 200;
    QSize screenSize{1920, 1080};
    int overviewSeconds = 5;
    int sampleSeconds = 2;
    int commandSeconds = 10;
    int pollSeconds = 300;
    int groupSeconds = 600;
};

// One misbehaviour of the odd student: its name and the simulator's options.
struct Phase
{
    QString name;
    QStringList options;
    bool restartWhenGone = false;
};
const std::vector<Phase> &phases();

struct Sample
{
    double minute = 0;
    int phase = 0;
    double residentMiB = 0;
    int descriptors = 0;
    int threads = 0;
    qint64 logBytes = 0;
    int freshTiles = 0;
    int wellBehaved = 0; // how many tiles should be fresh
    double worstWaitMs = 0;
};

struct CommandTiming
{
    double minute = 0;
    QString command;
    double ms = -1;     // -1: no answer within the wait
    double agentMs = 0; // what the student itself takes to answer
};

// The well-behaved students' figures, and the odd one's beside them.
struct Count
{
    qint64 sent = 0;
    qint64 kept = 0;
    qint64 oddSent = 0;
    qint64 oddKept = 0;
};

struct Totals
{
    Count answers;
    Count packets;
    Count pictures;
    qint64 pictureRequests = 0;
    qint64 copiesLogged = 0;
    qint64 leftOutOfLog = 0;
    double worstWaitMs = 0;
    qint64 waits = 0;
    qint64 waitsOver100 = 0;
    bool simulatorFailed = false;
    // Commands the teacher had to hold back while the wait window was up.
    qint64 clicksDeferred = 0;
    // The odd student's questions while its pictures trickle: how many, how
    // many it left unanswered, and its slowest answer (s).
    int slowPhaseQuestions = 0;
    int slowPhaseUnanswered = 0;
    double slowPhaseSlowestAnswerS = 0;
};

class Lesson : public QObject
{
public:
    Lesson(TFMain &main, const QString &logFolder, const Options &options);
    ~Lesson() override;

    // Plays the whole lesson in the running event loop; returns at its end.
    void run();

    const std::vector<Sample> &samples() const { return m_samples; }
    const std::vector<CommandTiming> &commands() const { return m_commands; }
    const Totals &totals() const { return m_totals; }

private:
    // lesson.cpp: the class, the odd student, the measures
    QStringList simulatorArguments(const QString &tally) const;
    QProcess *startSimulator(const QStringList &arguments);
    qint64 oddFirstNumber() const;
    QByteArray studentAddress(int index) const;
    void startClass();
    void startOddStudent();
    void nextPhase();
    void takeSample();
    bool isWellBehaved(const QByteArray &address) const;
    int phaseAt(double minute) const;
    double minuteNow() const;
    void finish();
    bool quiet() const;
    void readTallies();

    // teacher.cpp: what the teacher does
    void wireAnswers();
    void nextCommand();
    void sendPoll();
    void sendGroupCommand();
    void countPollAnswers();
    void answered(const QString &kind, const QString &text = {});
    bool selectStudent(int index);

    TFMain &m_main;
    const QString m_logFolder;
    const Options m_options;
    PostedWaitProbe m_probe{10};
    QElapsedTimer m_clock;

    // Children of this object, ended with it.
    QProcess *m_class = nullptr;
    QProcess *m_odd = nullptr;
    QString m_classTally;
    QStringList m_oddTallies;
    int m_phase = -1;
    bool m_ending = false;
    QSet<QByteArray> m_wellBehaved;
    QByteArray m_oddAddress;

    QTimer m_sampleTimer;
    QTimer m_commandTimer;
    QTimer m_pollTimer;
    QTimer m_groupTimer;
    QTimer m_phaseTimer;
    int m_commandTurn = 0;
    // Whose programs the process list shows: a program is closed there, as
    // the console refuses a process of another computer's list.
    int m_processListStudent = -1;
    int m_pollTurn = 0;
    int m_groupTurn = 0;
    double m_quietUntilMinute = 0; // no single command while a group's answers come in
    bool m_clickDeferred = false;

    // The teacher's command waiting for its answer.
    struct Waiting
    {
        QString kind; // what answers it: "status", "answer", "processes", "picture"
        QString command;
        QString expected; // of a status: how the student's text begins
        QByteArray address;
        double agentMs = 0;
        QElapsedTimer since;
    };
    std::unique_ptr<Waiting> m_waiting;

    std::vector<Sample> m_samples;
    std::vector<CommandTiming> m_commands;
    Totals m_totals;
    QDateTime m_pollCounted;
    // Questions the teacher sent to one computer and not yet seen answered.
    QHash<QByteArray, int> m_messagesAsked; // when the poll last counted was started
};

} // namespace lesson
