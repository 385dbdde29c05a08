#pragma once

#include "support/coreroom.h"

#include <QByteArray>
#include <QList>
#include <QObject>

#include <functional>
#include <memory>
#include <vector>

// The class as the tests of the classroom and of its overview see it:
// scripted students on real loopback connections to a console without a
// window.
namespace scripted {

// A student computer that answers every screen request with its picture,
// without one (the agent's "no screen" packet), or not at all.
class Student : public QObject
{
public:
    enum Answer { Picture, NoPicture, Silent };

    Student(Answer answer, const QByteArray &jpeg);

    TestAgent agent;
    int requests = 0;
    QList<QByteArray> packets; // every packet text the console sent, as it came
    // The picture right behind its announcement, in one write.
    bool glued = false;
    std::function<void()> onRequest;

private:
    void read();
    void answer();
    void answerNext();

    static constexpr int GapMs = 20;
    int m_pending = 0;
    Answer m_answer;
    QByteArray m_jpeg;
    QByteArray m_inbox;
    qint32 m_number = 1000;
};

// A classroom listening on a free port, with its students and the names of
// their addresses.
class Room : public CoreRoom
{
public:
    Room();

    // Connects a student from the address and waits until it is listed (not
    // until its name is known).
    Student &join(const QString &address, Student::Answer answer);
    using CoreRoom::computerOf;
    using CoreRoom::connectionOf;
    Computer *computerOf(const Student &student) const { return computerOf(student.agent); }
    platform::ConnectionPtr connectionOf(const Student &student) const
    {
        return connectionOf(student.agent);
    }

    // What a student answering with a picture sends.
    QByteArray picture;
    std::vector<std::unique_ptr<Student>> students;
};

} // namespace scripted
