// What one computer may cost the console: the pictures kept of it and its
// share of the day log.
#include "link/classroom.h"

#include "platform/cp1250.h"
#include "storage/eventlog.h"

#include <algorithm>

namespace {

// "1 pakiet", "3 pakiety", "5 pakietów", "22 pakiety", "12 pakietów".
QString packetsText(qint64 count)
{
    const qint64 tens = count % 100;
    const qint64 ones = count % 10;
    const char16_t *noun = u"pakietów";
    if (count == 1)
        noun = u"pakiet";
    else if (ones >= 2 && ones <= 4 && (tens < 12 || tens > 14))
        noun = u"pakiety";
    return QString::number(count) + u' ' + QString::fromUtf16(noun);
}

} // namespace

bool Classroom::logsPacketOf(Computer &computer)
{
    Conversation &talk = computer.conversation;
    const qint64 second = m_logClock.elapsed() / 1000;
    if (second != talk.logSecond) {
        talk.logSecond = second;
        talk.loggedInSecond = 0;
    }
    if (talk.loggedInSecond < environment.loggedPacketsPerSecond) {
        ++talk.loggedInSecond;
        return true;
    }
    ++talk.leftOut;
    if (!m_leftOutTimer.isActive())
        m_leftOutTimer.start();
    return false;
}

void Classroom::reportLeftOut(Computer &computer)
{
    if (computer.conversation.leftOut == 0)
        return;
    // The host name comes from the network's name service: shown, not obeyed.
    const QByteArray text
            = cp1250::fromUnicode(QStringLiteral("pominięto w dzienniku %1 od ")
                                          .arg(packetsText(computer.conversation.leftOut)))
              + computer.address + " (" + eventlog::visible(computer.hostName) + ')';
    computer.conversation.leftOut = 0;
    WriteLog(text);
}

void Classroom::reportAllLeftOut()
{
    for (Computer *computer : m_roster.computers())
        reportLeftOut(*computer);
}

// The reception has cut the bytes at the picture's end marker. A larger
// picture is shown but not kept: the one kept before is no longer the
// computer's latest, so it goes too.
void Classroom::keepPictureBytes(Computer &computer, const QByteArray &jpeg)
{
    computer.state.pictureTime = QDateTime::currentDateTime();
    if (jpeg.size() > environment.pictureKeptLimit) {
        computer.state.picture = QByteArray();
        return;
    }
    computer.state.picture = jpeg;
    trimPictures(&computer);
}

void Classroom::trimPictures(const Computer *newest)
{
    const std::vector<Computer *> &all = m_roster.computers();
    qint64 kept = 0;
    for (const Computer *c : all)
        kept += c->state.picture.size();
    while (kept > environment.picturesKeptLimit) {
        Computer *oldest = nullptr;
        for (Computer *c : all)
            if (c != newest && !c->state.picture.isEmpty()
                && (!oldest || c->state.pictureTime < oldest->state.pictureTime))
                oldest = c;
        if (!oldest)
            return;
        kept -= oldest->state.picture.size();
        oldest->state.picture = QByteArray();
    }
}
