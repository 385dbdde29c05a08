#include "commands/poll.h"

#include "link/messageanswer.h"
#include "platform/cp1250.h"
#include "storage/eventlog.h"

#include <QHash>

namespace {

bool sameKey(const Poll::Key &a, const Poll::Key &b)
{
    return !a.owner_before(b) && !b.owner_before(a);
}

// The agent's packet text ends with the separator that closes Bufor, and it
// stays in the field. The window's answer field shows it as it is; the
// table holds what the student typed, so that a spreadsheet of answers does
// not end every cell in "|".
QString typedText(QString text)
{
    if (text.endsWith(QLatin1Char('|')))
        text.chop(1);
    return text;
}

} // namespace

Poll::Poll(QObject *parent)
    : QObject(parent)
{}

QStringList Poll::header()
{
    return {QStringLiteral("Komputer"), QStringLiteral("Adres IP"), QStringLiteral("Odpowiedź"),
            QStringLiteral("Czas")};
}

void Poll::start(const QString &question, Kind kind, const QList<Computer> &computers,
                 const QDateTime &at)
{
    m_started = true;
    m_question = question;
    m_kind = kind;
    m_startedAt = at;
    m_entries.clear();
    for (const Computer &computer : computers) {
        if (!entryFor(computer.key))
            m_entries.append(Entry{computer, false, false, {}, {}});
    }
    emit changed();
}

Poll::Entry *Poll::entryFor(const Key &key)
{
    // A key that never held a connection matches nothing.
    if (sameKey(key, Key()))
        return nullptr;
    for (Entry &entry : m_entries) {
        if (sameKey(entry.computer.key, key))
            return &entry;
    }
    return nullptr;
}

bool Poll::record(const Key &key, const PacketRecord &packet, const QDateTime &at)
{
    const std::optional<MessageAnswer> answer = readMessageAnswer(packet);
    if (!answer)
        return false;
    // Answers are not numbered to questions: an answer of the other kind
    // belongs to some other message the computer was shown.
    if ((answer->kind == MessageAnswer::Typed) != (m_kind == Typed))
        return false;
    Entry *entry = entryFor(key);
    // The student answers once, in one dialog. A later answer on the same
    // connection comes from something else (a single message sent meanwhile,
    // or an agent that should not be trusted) and must not rewrite what was
    // recorded.
    if (!entry || entry->answered)
        return false;
    entry->answered = true;
    entry->yes = answer->kind == MessageAnswer::Yes;
    entry->text = typedText(answer->text);
    entry->at = at;
    emit changed();
    return true;
}

void Poll::rename(const Key &key, const QString &hostName)
{
    Entry *entry = entryFor(key);
    if (!entry || entry->computer.hostName == hostName)
        return;
    entry->computer.hostName = hostName;
    emit changed();
}

int Poll::answerCount() const
{
    int count = 0;
    for (const Entry &entry : m_entries)
        count += entry.answered ? 1 : 0;
    return count;
}

QString Poll::answerOf(const Key &key) const
{
    for (const Entry &entry : m_entries) {
        if (!entry.answered || entry.computer.key.owner_before(key)
            || key.owner_before(entry.computer.key))
            continue;
        if (m_kind == Typed)
            return entry.text;
        return entry.yes ? QStringLiteral("TAK") : QStringLiteral("NIE");
    }
    return {};
}

QList<Poll::Row> Poll::rows() const
{
    QList<Row> rows;
    rows.reserve(m_entries.size());
    for (const Entry &entry : m_entries) {
        Row row{entry.computer.hostName, entry.computer.address, {}, {}};
        if (entry.answered) {
            if (m_kind == Typed)
                row.answer = entry.text;
            else
                row.answer = entry.yes ? QStringLiteral("TAK") : QStringLiteral("NIE");
            row.time = entry.at.toString(QStringLiteral("HH:mm:ss"));
        }
        rows.append(row);
    }
    return rows;
}

// One vote per computer: connections that share an address (a second
// program beside the agent, or one posing as it) count once, with the first
// answer that came from that address.
QString Poll::tally() const
{
    if (!m_started)
        return {};
    QHash<QString, const Entry *> firstAnswer;
    for (const Entry &entry : m_entries) {
        const Entry *&first = firstAnswer[entry.computer.address];
        if (entry.answered && (!first || entry.at < first->at))
            first = &entry;
    }
    int yes = 0;
    int no = 0;
    int answered = 0;
    for (const Entry *entry : std::as_const(firstAnswer)) {
        if (!entry)
            continue;
        ++answered;
        ++(entry->yes ? yes : no);
    }
    const int computers = int(firstAnswer.size());
    if (m_kind == Typed)
        return QStringLiteral("odpowiedzi: %1 z %2").arg(answered).arg(computers);
    return QStringLiteral("TAK: %1, NIE: %2, bez odpowiedzi: %3")
            .arg(yes)
            .arg(no)
            .arg(computers - answered);
}

void Poll::fillPacket(PacketRecord &packet) const
{
    packet.iCommand = packet::Message;
    packet.iFlag = m_kind == Typed ? packet::TypedAnswer : packet::YesNoQuestion;
    packet::setFieldText(packet.Bufor, cp1250::fromUnicode(m_question));
}

QList<QStringList> Poll::table() const
{
    QList<QStringList> rows{
            {QStringLiteral("Pytanie"), m_question},
            {QStringLiteral("Czas"), m_startedAt.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"))},
            {},
            header(),
    };
    for (const Row &row : this->rows())
        rows.append({row.computer, row.address, row.answer, row.time});
    return rows;
}

evidence::Saved Poll::saveResults(const QString &path) const
{
    return evidence::saveTable(table(), path, u"Zapisano wyniki ankiety: ");
}

void Poll::logSent(int computers) const
{
    const QString text = QStringLiteral("Ankieta wysłana do %1 %2 (%3): ")
                                 .arg(QString::number(computers),
                                      computers == 1 ? QStringLiteral("komputera")
                                                     : QStringLiteral("komputerów"),
                                      m_kind == Typed ? QStringLiteral("odpowiedź wpisywana")
                                                      : QStringLiteral("pytanie TAK / NIE"));
    // The question is the teacher's, but it is shown, not obeyed, all the same.
    WriteLog(cp1250::fromUnicode(text) + eventlog::visible(cp1250::fromUnicode(m_question)));
}
