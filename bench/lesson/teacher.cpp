// What the teacher does during the lesson, and how long each answer takes.
#include "lesson.h"

#include "shell/tfmain.h"

#include <QComboBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTreeView>
#include <QTreeWidget>

#include <cstdio>

namespace lesson {

namespace {

// A command to the selected computer: its button, what answers it and,
// for a status, a word of the student's text. Power commands are left out:
// a real student's computer would go away with them.
struct TeacherCommand
{
    QPushButton *TFMain::*button;
    const char *answer;
    const char16_t *expected = u"";
    int messageKind = -1; // the message combo's choice for "Wyślij komunikat"
};

const TeacherCommand teacherCommands[] = {
        {&TFMain::PowerOffMonitorButton, "status", u"Wyłączono monitor"},
        {&TFMain::ScreenShootButton, "picture"},
        {&TFMain::PowerOnMonitorButton, "status", u"Włączono monitor"},
        {&TFMain::BitBtn3, "status", u"Komunikat potwierdzony", 0},
        {&TFMain::LockStartMenuButton, "status", u"Zablokowano menu Start"},
        {&TFMain::ReloadProcessListButton, "processes"},
        {&TFMain::CloseProgramButton, "status", u"proces"},
        {&TFMain::UnLockStartMenuButton, "status", u"Odblokowano menu Start"},
        {&TFMain::BitBtn3, "answer", u"", 1},
        {&TFMain::BitBtn4, "status", u"Wyłączono klawiaturę"},
        {&TFMain::BitBtn5, "status", u"Włączono klawiaturę"},
        {&TFMain::RunNewProgramButton, "status", u"Uruchomiono program"},
        {&TFMain::DisableMouseButton, "status", u"Wyłączono mysz"},
        {&TFMain::BitBtn3, "answer", u"", 2},
        {&TFMain::EnableMouseButton, "status", u"Włączono mysz"},
};

QPushButton *TFMain::*const groupCommands[] = {
        &TFMain::GroupLockMouseButton,       &TFMain::GroupUnLockMouseButton,
        &TFMain::GroupPowerOffMonitorButton, &TFMain::GroupPowerOnMonitorButton,
        &TFMain::DisableStartMenuAllButton,  &TFMain::EnableStartMenuAllButton,
        &TFMain::GroupLockKeyboardButton,    &TFMain::GroupUnLockKeyboardButton,
};

// What a student itself takes before its answer goes out (the simulator's
// defaults): half a second to read a message, the pause between an
// announcement and its stream, and for a picture the capture before it.
double agentMs(const QString &answer, int captureDelayMs)
{
    if (answer == QLatin1String("answer"))
        return 500;
    if (answer == QLatin1String("processes"))
        return 200;
    if (answer == QLatin1String("picture"))
        return 200.0 + captureDelayMs;
    return 0;
}

} // namespace

void Lesson::wireAnswers()
{
    Classroom &room = m_main.classroom();
    connect(&room, &Classroom::statusText, this,
            [this](const QString &text) { answered(QStringLiteral("status"), text); });
    connect(&room, &Classroom::answerReceived, this,
            [this](const Computer *c, const PacketRecord &, const MessageAnswer &answer) {
                // Counted by computer, not by the wait: an answer that comes
                // late is late, not lost.
                if (!c || m_messagesAsked.value(c->address) == 0
                    || m_main.MessageAnswerMemo->toPlainText() != answer.shownText())
                    return;
                --m_messagesAsked[c->address];
                ++m_totals.answers.kept;
                if (m_waiting && c->address == m_waiting->address)
                    answered(QStringLiteral("answer"));
            });
    connect(&room, &Classroom::streamReceived, this, [this](const StreamReception::Result &r) {
        if (r.kind == StreamReception::Kind::ProcessList && r.complete)
            answered(QStringLiteral("processes"));
        if (r.kind != StreamReception::Kind::ScreenPicture || !r.complete || r.picture.isNull())
            return;
        ++(isWellBehaved(r.peerAddress.toLatin1()) ? m_totals.pictures.kept
                                                   : m_totals.pictures.oddKept);
        answered(QStringLiteral("picture"));
    });
    connect(&room, &Classroom::glanceReceived, this,
            [this](const platform::ConnectionPtr &connection, const StreamReception::Result &r) {
                const Computer *c = m_main.classroom().computerOf(connection);
                if (!c || !r.complete || r.picture.isNull())
                    return;
                ++(isWellBehaved(c->address) ? m_totals.pictures.kept : m_totals.pictures.oddKept);
            });
}

void Lesson::answered(const QString &kind, const QString &text)
{
    if (!m_waiting || m_waiting->kind != kind
        || (kind == QLatin1String("status") && !text.contains(m_waiting->expected)))
        return;
    m_commands.push_back({minuteNow(), m_waiting->command, double(m_waiting->since.elapsed()),
                          m_waiting->agentMs});
    m_waiting.reset();
}

bool Lesson::selectStudent(int index)
{
    const QString address = QString::fromLatin1(studentAddress(index));
    QTreeView *list = m_main.RemoteComputersListView;
    for (int row = 0; row < list->model()->rowCount(); ++row) {
        const QModelIndex item = list->model()->index(row, 0);
        if (item.data().toString() != address)
            continue;
        list->setCurrentIndex(item);
        m_main.RemoteComputersListViewClick();
        return true;
    }
    return false;
}

void Lesson::nextCommand()
{
    if (m_waiting) { // not answered within the period: so noted
        m_commands.push_back({minuteNow(), m_waiting->command, -1, m_waiting->agentMs});
        m_waiting.reset();
    }
    if (minuteNow() < m_quietUntilMinute)
        return;
    // While its wait window is up the main window takes no click: the teacher
    // waits for it to go, and clicks then.
    if (!m_main.isEnabled()) {
        if (!m_clickDeferred) {
            m_clickDeferred = true;
            ++m_totals.clicksDeferred;
            QTimer::singleShot(200, this, [this] {
                m_clickDeferred = false;
                nextCommand();
            });
        }
        return;
    }
    const int turn = m_commandTurn++;
    const TeacherCommand &command = teacherCommands[size_t(turn) % std::size(teacherCommands)];
    int student = turn % m_options.students;
    if (command.button == &TFMain::CloseProgramButton) {
        if (m_processListStudent < 0)
            return;
        student = m_processListStudent;
    }
    if (!selectStudent(student))
        return;
    if (command.button == &TFMain::ReloadProcessListButton)
        m_processListStudent = student;
    QPushButton *button = m_main.*command.button;
    QString name = button->text();
    if (command.messageKind >= 0) {
        m_main.MessageTypeComboBox->setCurrentIndex(command.messageKind);
        m_main.MessageEdit1->setText(QStringLiteral("Zapiszcie pracę w swoim folderze"));
        name += QLatin1Char('/') + QString::number(command.messageKind);
    }
    if (command.button == &TFMain::CloseProgramButton) {
        QTreeWidget *processes = m_main.ProcessListView;
        if (processes->topLevelItemCount() == 0)
            return;
        processes->setCurrentItem(processes->topLevelItem(processes->topLevelItemCount() - 1));
        processes->currentItem()->setSelected(true);
    }
    m_waiting = std::make_unique<Waiting>();
    m_waiting->kind = QString::fromLatin1(command.answer);
    m_waiting->command = name.remove(QLatin1Char('&'));
    m_waiting->expected = QString::fromUtf16(command.expected);
    m_waiting->address = studentAddress(student);
    m_waiting->agentMs = command.messageKind >= 0
                                 ? agentMs(QStringLiteral("answer"), 0)
                                 : agentMs(m_waiting->kind, m_options.captureDelayMs);
    m_waiting->since.start();
    if (command.messageKind > 0)
        ++m_messagesAsked[m_waiting->address];
    button->click();
}

void Lesson::countPollAnswers()
{
    const Poll &poll = m_main.commander().poll();
    if (!poll.isStarted() || poll.startedAt() == m_pollCounted)
        return;
    m_pollCounted = poll.startedAt();
    // The question's minute of the lesson: which fault the odd student had.
    const double askedMinute
            = minuteNow() - double(poll.startedAt().msecsTo(QDateTime::currentDateTime())) / 60000;
    // Asked, and given 20 s, while the odd student trickles: one asked as it
    // is replaced by the next phase's agent cannot be answered.
    const bool trickling = phaseAt(askedMinute) == 0 && phaseAt(askedMinute + 20.0 / 60) == 0;
    int answers = 0;
    for (const Poll::Row &row : poll.rows()) {
        const bool odd = !isWellBehaved(row.address.toLatin1());
        if (odd && trickling) {
            ++m_totals.slowPhaseQuestions;
            const QTime at = QTime::fromString(row.time, QStringLiteral("HH:mm:ss"));
            if (row.answer.isEmpty())
                ++m_totals.slowPhaseUnanswered;
            else
                m_totals.slowPhaseSlowestAnswerS
                        = std::max(m_totals.slowPhaseSlowestAnswerS,
                                   double(poll.startedAt().time().secsTo(at)));
        }
        if (row.answer.isEmpty())
            continue;
        ++answers;
        ++(odd ? m_totals.answers.oddKept : m_totals.answers.kept);
    }
    std::fprintf(stderr, "lesson: the question of %s: %d of %d answered\n",
                 qPrintable(poll.startedAt().toString(QStringLiteral("HH:mm:ss"))), answers,
                 poll.computerCount());
}

void Lesson::sendPoll()
{
    countPollAnswers();
    const bool typed = m_pollTurn++ % 2 == 1;
    m_main.PollSendClick(typed ? QStringLiteral("Co było najtrudniejsze w zadaniu?")
                               : QStringLiteral("Czy skończyliście zadanie?"),
                         typed ? Poll::Typed : Poll::YesNo);
}

void Lesson::sendGroupCommand()
{
    // The class's answers come in for a while; a single command waits.
    m_quietUntilMinute = minuteNow() + 8.0 / 60.0;
    QPushButton *button = m_main.*groupCommands[size_t(m_groupTurn++) % std::size(groupCommands)];
    button->click();
}

} // namespace lesson
