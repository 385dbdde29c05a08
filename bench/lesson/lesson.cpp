#include "lesson.h"

#include "shell/tfmain.h"

#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QHostAddress>
#include <QTabWidget>

#include <algorithm>
#include <cstdio>
#include <utility>

#ifdef Q_OS_LINUX
#include <csignal>
#include <sys/prctl.h>
#endif

namespace lesson {

namespace {

// Student i of the class connects from 127.0.0.(21 + i), the odd one from
// an address of its own, so the console's rows tell them apart.
constexpr quint32 ClassBase = 0x7F000015; // 127.0.0.21
const char *const OddAddress = "127.0.2.1";

QByteArray addressText(quint32 address)
{
    return QHostAddress(address).toString().toLatin1();
}

// Runs the event loop until done() or the time is up; false when it was.
bool waitFor(const std::function<bool()> &done, int ms)
{
    QElapsedTimer since;
    since.start();
    QEventLoop loop;
    QTimer tick;
    QObject::connect(&tick, &QTimer::timeout, &loop, [&] {
        if (done() || since.elapsed() > ms)
            loop.quit();
    });
    tick.start(20);
    if (!done())
        loop.exec();
    return done();
}

QHash<QByteArray, qint64> readTally(const QString &path)
{
    QHash<QByteArray, qint64> counts;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return counts;
    for (const QByteArray &line : file.readAll().split('\n')) {
        const qsizetype eq = line.indexOf('=');
        if (eq > 0)
            counts[line.left(eq)] = line.mid(eq + 1).toLongLong();
    }
    return counts;
}

} // namespace

const std::vector<Phase> &phases()
{
    static const std::vector<Phase> all = {
            {QStringLiteral("slow"), {QStringLiteral("--slow-stream")}, false},
            {QStringLiteral("corrupt"), {QStringLiteral("--corrupt-jpeg")}, false},
            {QStringLiteral("short"), {QStringLiteral("--short-stream")}, false},
            {QStringLiteral("surplus"), {QStringLiteral("--surplus-stream")}, false},
            {QStringLiteral("silent"), {QStringLiteral("--no-screen")}, false},
            // Gone for good after its first broken stream; the same computer
            // then starts its agent afresh.
            {QStringLiteral("disconnecting"), {QStringLiteral("--disconnect-mid-stream")}, true},
            {QStringLiteral("reconnecting"),
             {QStringLiteral("--disconnect-mid-stream"), QStringLiteral("--reconnect")},
             false},
    };
    return all;
}

Lesson::Lesson(TFMain &main, const QString &logFolder, const Options &options)
    : m_main(main)
    , m_logFolder(logFolder)
    , m_options(options)
{
    for (int i = 0; i < options.students; ++i)
        m_wellBehaved.insert(addressText(ClassBase + quint32(i)));
    m_oddAddress = OddAddress;
    wireAnswers();
}

Lesson::~Lesson()
{
    for (QProcess *process : findChildren<QProcess *>()) {
        process->kill();
        process->waitForFinished(2000);
    }
}

double Lesson::minuteNow() const
{
    return double(m_clock.elapsed()) / 60000.0;
}

QByteArray Lesson::studentAddress(int index) const
{
    return addressText(ClassBase + quint32(index));
}

bool Lesson::isWellBehaved(const QByteArray &address) const
{
    return m_wellBehaved.contains(address);
}

int Lesson::phaseAt(double minute) const
{
    const double length = m_options.minutes / double(phases().size());
    return std::min(int(minute / length), int(phases().size()) - 1);
}

QStringList Lesson::simulatorArguments(const QString &tally) const
{
    return {QStringLiteral("--port"),
            QString::number(m_main.classroom().MyServer->localPort()),
            QStringLiteral("--capture-delay"),
            QString::number(m_options.captureDelayMs),
            QStringLiteral("--screen-size"),
            QStringLiteral("%1x%2")
                    .arg(m_options.screenSize.width())
                    .arg(m_options.screenSize.height()),
            QStringLiteral("--synthetic-processes"),
            QStringLiteral("--yes-no"),
            QStringLiteral("random"),
            QStringLiteral("--quiet"),
            QStringLiteral("--tally"),
            tally};
}

QProcess *Lesson::startSimulator(const QStringList &arguments)
{
    auto *process = new QProcess(this);
    process->setStandardOutputFile(QProcess::nullDevice());
    process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
#ifdef Q_OS_LINUX
    // A reconnecting class never ends by itself: when the lesson is killed
    // (a test's time limit) its students go with it.
    process->setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
#endif
    process->start(m_options.simulator, arguments);
    return process;
}

void Lesson::startClass()
{
    const QString tally = QDir(m_options.outputFolder).filePath(QStringLiteral("tally-class.txt"));
    m_classTally = tally;
    QStringList arguments = simulatorArguments(tally);
    arguments << QStringLiteral("--students") << QString::number(m_options.students)
              << QStringLiteral("--source-base") << QString::fromLatin1(addressText(ClassBase))
              << QStringLiteral("--reconnect");
    m_class = startSimulator(arguments);
    connect(m_class, &QProcess::finished, this, [this] {
        if (!m_ending) {
            std::fprintf(stderr, "lesson: the class's simulator ended before the lesson did\n");
            m_totals.simulatorFailed = true;
        }
    });
}

void Lesson::startOddStudent()
{
    if (m_ending)
        return;
    const Phase &phase = phases()[size_t(m_phase)];
    const QString tally
            = QDir(m_options.outputFolder)
                      .filePath(QStringLiteral("tally-odd-%1.txt").arg(m_oddTallies.size()));
    m_oddTallies.append(tally);
    QStringList arguments = simulatorArguments(tally);
    // Its packet numbers begin above every number of the class's.
    arguments << QStringLiteral("--students") << QStringLiteral("1")
              << QStringLiteral("--source-base") << QString::fromLatin1(m_oddAddress)
              << QStringLiteral("--name-prefix") << QStringLiteral("INNY-")
              << QStringLiteral("--first-number") << QString::number(oddFirstNumber())
              << phase.options;
    QProcess *odd = startSimulator(arguments);
    m_odd = odd;
    const int phaseIndex = m_phase;
    connect(odd, &QProcess::finished, this, [this, odd, phaseIndex] {
        if (m_odd != odd)
            return;
        m_odd = nullptr;
        if (phases()[size_t(phaseIndex)].restartWhenGone && phaseIndex == m_phase)
            QTimer::singleShot(2000, this, [this, phaseIndex] {
                if (phaseIndex == m_phase && !m_odd)
                    startOddStudent();
            });
    });
}

qint64 Lesson::oddFirstNumber() const
{
    return qint64(m_options.students) * 100000 + 1;
}

void Lesson::nextPhase()
{
    const int phase = phaseAt(minuteNow() + 1e-6);
    if (phase == m_phase)
        return;
    m_phase = phase;
    // The old one ends on its own time; the new one starts at once.
    if (QProcess *old = std::exchange(m_odd, nullptr))
        old->terminate();
    startOddStudent();
}

void Lesson::takeSample()
{
    Sample s;
    s.minute = minuteNow();
    s.phase = std::max(0, m_phase);
    const ProcessFigures process = readProcess();
    s.residentMiB = process.residentMiB;
    s.descriptors = process.descriptors;
    s.threads = process.threads;
    s.logBytes = folderBytes(m_logFolder);
    s.wellBehaved = m_options.students;
    const QDateTime now = QDateTime::currentDateTime();
    const qint64 freshMs = 2000LL * m_main.overview().intervalSeconds();
    QSet<QByteArray> fresh;
    for (const Computer *c : m_main.classroom().computers()) {
        if (isWellBehaved(c->address) && c->state.pictureTime.isValid()
            && c->state.pictureTime.msecsTo(now) <= freshMs)
            fresh.insert(c->address);
    }
    s.freshTiles = int(fresh.size());
    s.worstWaitMs = m_probe.takeWorst();
    m_samples.push_back(s);
}

void Lesson::run()
{
    m_clock.start();
    startClass();
    if (!waitFor(
                [this] { return int(m_main.classroom().computers().size()) >= m_options.students; },
                60000))
        std::fprintf(stderr, "lesson: only %d of %d students connected within a minute\n",
                     int(m_main.classroom().computers().size()), m_options.students);
    m_clock.restart();
    m_main.PageControl1->setCurrentWidget(m_main.TabSheet5);
    m_main.overview().setIntervalSeconds(m_options.overviewSeconds);
    nextPhase();

    connect(&m_sampleTimer, &QTimer::timeout, this, &Lesson::takeSample);
    m_sampleTimer.start(m_options.sampleSeconds * 1000);
    connect(&m_phaseTimer, &QTimer::timeout, this, &Lesson::nextPhase);
    m_phaseTimer.start(1000);
    // Commands begin half a period in, so they never meet a question or a
    // group command at the same second.
    connect(&m_commandTimer, &QTimer::timeout, this, &Lesson::nextCommand);
    QTimer::singleShot(m_options.commandSeconds * 500, this, [this] {
        nextCommand();
        m_commandTimer.start(m_options.commandSeconds * 1000);
    });
    connect(&m_pollTimer, &QTimer::timeout, this, &Lesson::sendPoll);
    m_pollTimer.start(m_options.pollSeconds * 1000);
    connect(&m_groupTimer, &QTimer::timeout, this, &Lesson::sendGroupCommand);
    QTimer::singleShot(m_options.pollSeconds * 500, this,
                       [this] { m_groupTimer.start(m_options.groupSeconds * 1000); });

    const qint64 lessonMs = qint64(m_options.minutes * 60000);
    waitFor([&] { return m_clock.elapsed() >= lessonMs; }, int(lessonMs) + 1000);
    finish();
}

void Lesson::finish()
{
    for (QTimer *timer :
         {&m_sampleTimer, &m_commandTimer, &m_pollTimer, &m_groupTimer, &m_phaseTimer})
        timer->stop();
    takeSample();
    m_ending = true;
    // The overview stops asking; what is under way is let in before counting.
    m_main.PageControl1->setCurrentWidget(m_main.TabSheet1);
    // A loaded machine may take longer than a fixed pause to let them in.
    waitFor([this] { return quiet(); }, 30000);
    waitFor([] { return false; }, 2000);
    countPollAnswers();

    for (QProcess *process : findChildren<QProcess *>())
        process->terminate();
    for (QProcess *process : findChildren<QProcess *>())
        if (!process->waitForFinished(10000))
            process->kill();
    readTallies();
    const LoggedPackets logged = countLoggedPackets(m_logFolder, oddFirstNumber());
    m_totals.packets.kept = logged.wellBehaved;
    m_totals.packets.oddKept = logged.other;
    m_totals.copiesLogged = logged.copies;
    m_totals.leftOutOfLog = logged.leftOut;
    m_totals.worstWaitMs = m_probe.worstEver();
    m_totals.waits = m_probe.delivered();
    m_totals.waitsOver100 = m_probe.over100();
}

// No picture is asked or on its way, the teacher's or the overview's.
bool Lesson::quiet() const
{
    const Classroom &room = m_main.classroom();
    if (room.StreamInProgress.load())
        return false;
    return std::none_of(room.computers().begin(), room.computers().end(),
                        [&room](const Computer *c) {
                            return c->channel.reception || room.glancesAwaited(c->connection) > 0;
                        });
}

void Lesson::readTallies()
{
    const QHash<QByteArray, qint64> cls = readTally(m_classTally);
    if (cls.isEmpty())
        m_totals.simulatorFailed = true;
    m_totals.answers.sent = cls.value("answers");
    m_totals.packets.sent = cls.value("packets");
    m_totals.pictures.sent = cls.value("pictures");
    m_totals.pictureRequests = cls.value("picture-requests");
    for (const QString &path : std::as_const(m_oddTallies)) {
        const QHash<QByteArray, qint64> odd = readTally(path);
        m_totals.answers.oddSent += odd.value("answers");
        m_totals.packets.oddSent += odd.value("packets");
        m_totals.pictures.oddSent += odd.value("pictures");
    }
}

} // namespace lesson
