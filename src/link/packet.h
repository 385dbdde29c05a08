#pragma once

#include "storage/eventlog.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QtGlobal>

#include <cstddef>

// The nine-field packet the console and the student agents exchange, and its
// text form on the wire: every field followed by "|".
struct PacketRecord
{
    qint32 iPacketNo = 0;
    qint32 Pass = 0;
    qint32 iCommand = 0;
    qint32 iFlag = 0;
    qint32 StreamSize = 0;
    char Bufor[1024] = {};
    char ProcName[255] = {};
    char WindowTitle[255] = {};
    quint32 ProcID = 0;
};

namespace packet {

constexpr qint32 PassValue = 48213;

// The longest text FormatPacketText can produce: five signed numbers of up to
// eleven characters, one unsigned of up to ten, the three texts and nine "|".
constexpr int MaxTextLength = 5 * 11 + 10 + 1023 + 254 + 254 + 9;

// Command codes; one numbering for both directions.
enum Command : qint32 {
    ProcessList = 0,  // to agent: send the process list; from agent: flag 0 announces it
    CloseProcess = 1, // to agent: close ProcID; from agent: a status text in Bufor
    ScreenShot = 2, // to agent: send a picture; from agent: flag 1 announces it, 2 closes the wait
    RunProgram = 3,
    Device = 4,
    Power = 5,
    Message = 6,
    LockStartMenu = 7,
    UnlockStartMenu = 8,
};

enum DeviceFlag : qint32 {
    MonitorOff = 0,
    MonitorOn = 1,
    KeyboardOff = 2,
    KeyboardOn = 3,
    MouseOff = 4,
    MouseOn = 5,
};

enum PowerFlag : qint32 { ShutDown = 0, LogOff = 1, Restart = 2 };

enum MessageFlag : qint32 { PlainMessage = 0, YesNoQuestion = 1, TypedAnswer = 2 };

// Answers and announcements from the agent.
constexpr qint32 ProcessListAnnounceFlag = 0;
constexpr qint32 ScreenAnnounceFlag = 1;
constexpr qint32 ScreenCloseWaitFlag = 2;
constexpr qint32 AnswerNo = 0;
constexpr qint32 AnswerYes = 1;
constexpr qint32 AnswerTyped = 2;

// The bytes of a zero-terminated text field: up to its zero byte, or the whole
// width when there is none.
template<std::size_t N>
QByteArrayView fieldText(const char (&field)[N])
{
    std::size_t len = 0;
    while (len < N && field[len] != '\0')
        ++len;
    return QByteArrayView(field, qsizetype(len));
}

// Stores text into a field, cut at its first zero byte and to the width less
// the terminating zero; the field is always terminated.
void setFieldText(char *field, std::size_t width, QByteArrayView text);

template<std::size_t N>
void setFieldText(char (&field)[N], QByteArrayView text)
{
    setFieldText(field, N, text);
}

} // namespace packet

QByteArray FormatPacketText(const PacketRecord &packet);

// Updates the record in place; fields the text does not supply keep their values.
void ParsePacketText(QByteArrayView text, PacketRecord &packet);

namespace packet {
// The record as the day log's dump takes it; the texts point into the record.
eventlog::PacketDump logDump(const PacketRecord &record);
} // namespace packet

// WriteLog with the dump of a record, as the link logs what it sends and
// receives.
void WriteLog(const QByteArray &text, bool dumpPacket, const PacketRecord *packet);
