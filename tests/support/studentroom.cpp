#include "support/studentroom.h"

#include <QHostAddress>
#include <QTest>
#include <QTimer>

namespace scripted {

Student::Student(Answer answer, const QByteArray &jpeg)
    : m_answer(answer)
    , m_jpeg(jpeg)
{
    connect(&agent.socket(), &QTcpSocket::readyRead, this, &Student::read);
}

void Student::read()
{
    m_inbox += agent.socket().readAll();
    // Every packet of the console begins with the pass value; its last
    // field may hold a "|" of its own.
    const QByteArray start = QByteArray::number(packet::PassValue) + '|';
    while (m_inbox.count('|') >= 9) {
        const qsizetype next = m_inbox.indexOf(start, 1);
        const QByteArray text = next < 0 ? m_inbox : m_inbox.left(next);
        m_inbox.remove(0, text.size());
        packets << text;
        PacketRecord p{};
        ParsePacketText(text, p);
        if (p.iCommand == packet::ScreenShot)
            answer();
    }
}

// As an agent does: the announcement, a pause, the picture; one request
// after another.
void Student::answer()
{
    ++requests;
    if (onRequest)
        onRequest();
    if (m_answer != Silent && ++m_pending == 1)
        answerNext();
}

void Student::answerNext()
{
    const bool picture = m_answer == Picture;
    agent.socket().write(TestAgent::packetText(++m_number, packet::ScreenShot,
                                               picture ? packet::ScreenAnnounceFlag
                                                       : packet::ScreenCloseWaitFlag,
                                               picture ? qint32(m_jpeg.size()) : 0)
                         + (glued ? m_jpeg : QByteArray()));
    QTimer::singleShot(GapMs, this, [this, picture] {
        if (picture && !glued)
            agent.socket().write(m_jpeg);
        QTimer::singleShot(GapMs, this, [this] {
            if (--m_pending > 0)
                answerNext();
        });
    });
}

Room::Room()
    : CoreRoom({{"127.0.0.1", "SALA-1"},
                {"127.0.0.2", "SALA-2"},
                {"127.0.0.3", "SALA-3"},
                {"127.0.0.9", "SALA-9"},
                {"127.0.0.10", "SALA-10"}})
    , picture(jpegBytes(quarteredPicture(640, 360)))
{
    classroom.environment.streamTimings.firstSleepMs = 0;
}

Student &Room::join(const QString &address, Student::Answer answer)
{
    students.push_back(std::make_unique<Student>(answer, picture));
    Student &student = *students.back();
    const size_t before = classroom.computers().size();
    if (!student.agent.socket().bind(QHostAddress(address), 0)
        || !student.agent.connectTo(classroom.MyServer->localPort()))
        qFatal("no connection from %s", qPrintable(address));
    if (!QTest::qWaitFor([&] { return classroom.computers().size() == before + 1; }))
        qFatal("%s not listed", qPrintable(address));
    return student;
}

} // namespace scripted
