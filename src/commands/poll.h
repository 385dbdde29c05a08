#pragma once

#include "link/packet.h"
#include "storage/evidence.h"

#include <QDateTime>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>

#include <memory>
#include <optional>

// One question to the whole class and every answer to it, each filed under
// the connection it came on. A new question starts a new table; the previous
// one is kept until then.
class Poll : public QObject
{
    Q_OBJECT
public:
    // Plain is a message told to the class, no question: it starts no poll
    // (Commander::sendPoll sends it as a group command).
    enum Kind { YesNo, Typed, Plain };

    // What tells the connections apart: the connection itself, held weakly.
    // Any shared pointer converts to it; one that has been released stays
    // distinct from every later connection, even one at the same address.
    using Key = std::weak_ptr<const void>;

    struct Computer
    {
        Key key;
        QString hostName;
        QString address;
    };

    // One line of the table: host name, address, answer, time of the answer
    // (the last two empty while the computer has not answered).
    struct Row
    {
        QString computer;
        QString address;
        QString answer;
        QString time;
    };

    explicit Poll(QObject *parent = nullptr);

    // The column captions of the table.
    static QStringList header();

    // Starts a new table for the computers in the order given; a computer
    // listed twice under one key is kept once.
    void start(const QString &question, Kind kind, const QList<Computer> &computers,
               const QDateTime &at = QDateTime::currentDateTime());

    // Files an answer packet that came on the connection of key. True when it
    // went into the table: an answer from a computer outside the poll, one
    // whose kind differs from the question's, or a second answer from one
    // computer is left out.
    bool record(const Key &key, const PacketRecord &packet,
                const QDateTime &at = QDateTime::currentDateTime());

    // The computer's name became known or changed: its row shows the new one.
    void rename(const Key &key, const QString &hostName);

    bool isStarted() const { return m_started; }
    QString question() const { return m_question; }
    Kind kind() const { return m_kind; }
    QDateTime startedAt() const { return m_startedAt; }
    int computerCount() const { return int(m_entries.size()); }
    int answerCount() const;

    QList<Row> rows() const;
    // The answer of the computer on this connection as its row shows it
    // (TAK, NIE or the typed text); empty while it has not answered or is
    // not asked.
    QString answerOf(const Key &key) const;
    // "TAK: n, NIE: n, bez odpowiedzi: n" or "odpowiedzi: n z m"; empty
    // before the first poll.
    QString tally() const;

    // Writes the question into a message packet: the command, the kind's
    // flag and the text in Windows-1250, cut to Bufor. Other fields are left
    // as they are, as for every command.
    void fillPacket(PacketRecord &packet) const;

    // The question and its time, a blank row, the header and the rows: what
    // the results file holds.
    QList<QStringList> table() const;
    // Writes the table to a new spreadsheet file at path (the teacher's
    // choice), with its day-log entry.
    evidence::Saved saveResults(const QString &path) const;
    // The day-log entry of this poll going out to this many computers.
    void logSent(int computers) const;

signals:
    // A new poll started, an answer was filed or a computer renamed.
    void changed();

private:
    struct Entry
    {
        Computer computer;
        bool answered = false;
        bool yes = false;
        QString text;
        QDateTime at;
    };

    Entry *entryFor(const Key &key);

    bool m_started = false;
    QString m_question;
    Kind m_kind = YesNo;
    QDateTime m_startedAt;
    QList<Entry> m_entries;
};
