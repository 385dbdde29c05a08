#pragma once

#include <QHostAddress>
#include <QSet>
#include <QSize>
#include <QString>
#include <QStringList>

namespace agentsim {

// Misbehaviours a student can be told to show, to try the console's handling
// of a broken agent.
struct Faults
{
    bool shortStream = false;         // sends fewer stream bytes than announced
    bool surplusStream = false;       // sends more stream bytes than announced
    bool corruptJpeg = false;         // the picture is not a readable JPEG, size as announced
    bool wrongPass = false;           // every packet carries a wrong pass value
    bool repeatNumber = false;        // every packet carries the number of the first one
    bool disconnectMidStream = false; // closes the connection halfway through a stream
    bool slowStream = false;          // trickles the stream over slowSeconds
    bool noScreen = false;            // answers a picture request with "close the wait window"
};

enum class YesNo { Yes, No, Random };

struct Options
{
    QString host = QStringLiteral("127.0.0.1");
    quint16 port = 6500;
    int students = 3;
    QString namePrefix = QStringLiteral("UCZEN-");
    QHostAddress sourceBase; // null: the system picks the local address
    quint16 netbiosPort = 137; // where students answer name queries; 0: they do not
    int connectIntervalMs = 5;
    bool reconnect = false;
    int reconnectDelayMs = 2000;

    bool syntheticProcesses = false;
    int processCount = 0;
    QSize screenSize{1920, 1080};
    int jpegQuality = 85;

    int answerDelayMs = 500;
    bool okAnswer = true;
    YesNo yesNo = YesNo::Yes;
    QString typedAnswer = QStringLiteral("Odpowiedź od %n");
    quint32 seed = 1;
    bool powerCloses = false;

    int packetGapMs = 50;
    int captureDelayMs = 0;
    int streamDelayMs = 200;
    int afterStreamGapMs = 1500;
    int slowSeconds = 15;

    bool quiet = false;
    QString tallyPath; // where the counts go at the end; empty: nowhere
    // The first packet number of student 1; a second simulator given another
    // keeps its numbers apart from the first one's.
    qint32 firstNumber = 1;

    Faults faults;
    QSet<int> faultStudents; // numbers from 1; empty: every student

    // Student numbers count from 1, as in their names.
    QString studentName(int number) const;
    Faults faultsFor(int number) const;
};

enum class ParseOutcome { Run, Help, Version, Error };

// Reads the command line (arguments()[0] is the program). On Help and Version
// the text to print is in message; on Error the complaint.
ParseOutcome parseOptions(const QStringList &arguments, Options &options, QString &message);

} // namespace agentsim
