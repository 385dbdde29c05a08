#include "options.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <functional>
#include <limits>

namespace agentsim {

QString Options::studentName(int number) const
{
    const int width = std::max(2, int(QString::number(students).size()));
    return namePrefix + QStringLiteral("%1").arg(number, width, 10, QLatin1Char('0'));
}

Faults Options::faultsFor(int number) const
{
    if (faultStudents.isEmpty() || faultStudents.contains(number))
        return faults;
    return {};
}

namespace {

bool readInt(const QString &text, int low, int high, int &out)
{
    bool ok = false;
    const int value = text.toInt(&ok);
    if (!ok || value < low || value > high)
        return false;
    out = value;
    return true;
}

} // namespace

ParseOutcome parseOptions(const QStringList &arguments, Options &o, QString &message)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
            "Simulates student computers for the Docentor console: each one connects to the\n"
            "console, answers its commands as a student agent does and prints one line per\n"
            "event on standard output, \"<name> <event> key=value ...\":\n"
            "  <name> connected local-address=<a> local-port=<p>\n"
            "  <name> connect-failed error=\"<text>\"\n"
            "  <name> received no=<n> code=<c> flag=<f> what=\"<operation>\" [pid= program= "
            "text=]\n"
            "  <name> ignored reason=\"<why>\" ...\n"
            "  <name> sent no=<n> pass=<p> code=<c> flag=<f> size=<s> [text=\"<status>\"]\n"
            "  <name> stream kind=processes|screen announced=<a> sent=<s> [entries= width= "
            "height=]\n"
            "  <name> screen-unavailable reason=\"<why>\"\n"
            "  <name> closing reason=\"<why>\"\n"
            "  <name> disconnected\n"
            "  <name> reconnecting delay=<ms>\n"
            "  stopping signal=<name>\n"
            "  finished exit=<code>\n"
            "Students are numbered from 1 and named <prefix><number>. Fault switches apply to\n"
            "every student, or only to those given with --fault-student. The program ends\n"
            "when every student is disconnected (unless --reconnect) or on SIGINT/SIGTERM;\n"
            "exit code 0 on a clean end, 1 when some student never got connected, 2 on bad\n"
            "options. Whoever starts it must read its standard output (or pass --quiet):\n"
            "while a full pipe blocks a line, every student waits."));
    parser.addHelpOption();
    parser.addVersionOption();

    struct Entry
    {
        QCommandLineOption option;
        std::function<bool(const QString &)> apply; // empty for plain switches
    };
    QList<Entry> entries;
    auto value = [&entries](QStringList names, QString help, QString valueName, QString def,
                            std::function<bool(const QString &)> apply) {
        if (!def.isEmpty())
            help += QStringLiteral(" Default: %1.").arg(def);
        entries.append({QCommandLineOption(names, help, valueName), apply});
    };
    auto intValue = [&value](QStringList names, QString help, QString valueName, int &target,
                             int low, int high) {
        value(names, help, valueName, QString::number(target),
              [&target, low, high](const QString &t) { return readInt(t, low, high, target); });
    };
    auto flag = [&entries](QStringList names, QString help, bool &target) {
        entries.append({QCommandLineOption(names, help), [&target](const QString &) {
                            return (target = true);
                        }});
    };
    constexpr int maxMs = 24 * 3600 * 1000;

    value({QStringLiteral("host")}, QStringLiteral("Console address."), QStringLiteral("address"),
          o.host, [&o](const QString &t) {
              o.host = t;
              return !t.isEmpty();
          });
    value({QStringLiteral("p"), QStringLiteral("port")}, QStringLiteral("Console port."),
          QStringLiteral("port"), QString::number(o.port), [&o](const QString &t) {
              int port = 0;
              if (!readInt(t, 1, 65535, port))
                  return false;
              o.port = quint16(port);
              return true;
          });
    intValue({QStringLiteral("n"), QStringLiteral("students")},
             QStringLiteral("Number of simulated students (1 to 10000)."), QStringLiteral("count"),
             o.students, 1, 10000);
    value({QStringLiteral("name-prefix")}, QStringLiteral("Student names: prefix and number."),
          QStringLiteral("text"), o.namePrefix, [&o](const QString &t) {
              o.namePrefix = t;
              return true;
          });
    value({QStringLiteral("source-base")},
          QStringLiteral("Bind student 1 to this local IPv4 address, student 2 to the next, and so "
                         "on (e.g. 127.0.0.2), so that the console sees distinct addresses. "
                         "Default: the system's choice."),
          QStringLiteral("address"), QString(), [&o](const QString &t) {
              if (t.isEmpty())
                  return true;
              o.sourceBase = QHostAddress(t);
              return o.sourceBase.protocol() == QAbstractSocket::IPv4Protocol;
          });
    value({QStringLiteral("netbios-port")},
          QStringLiteral("With --source-base, each student answers the console's NetBIOS name "
                         "query on this UDP port of its address (137 needs root; give the "
                         "console the same port in DOCENTOR_NETBIOS_PORT); 0: no answers."),
          QStringLiteral("port"), QString::number(o.netbiosPort), [&o](const QString &t) {
              int port = 0;
              if (!readInt(t, 0, 65535, port))
                  return false;
              o.netbiosPort = quint16(port);
              return true;
          });
    intValue({QStringLiteral("connect-interval")},
             QStringLiteral("Milliseconds between the connections of two students."),
             QStringLiteral("ms"), o.connectIntervalMs, 0, maxMs);
    flag({QStringLiteral("reconnect")},
         QStringLiteral("Connect again after a disconnect or a failed connect, until stopped."),
         o.reconnect);
    intValue({QStringLiteral("reconnect-delay")},
             QStringLiteral("Milliseconds before reconnecting."), QStringLiteral("ms"),
             o.reconnectDelayMs, 0, maxMs);
    flag({QStringLiteral("synthetic-processes")},
         QStringLiteral("Send a made-up process list instead of the processes of this machine."),
         o.syntheticProcesses);
    intValue({QStringLiteral("process-count")},
             QStringLiteral("Pad the made-up process list to this many entries."),
             QStringLiteral("count"), o.processCount, 0, 100000);
    value({QStringLiteral("screen-size")}, QStringLiteral("Size of the simulated screen."),
          QStringLiteral("WxH"), QStringLiteral("1920x1080"), [&o](const QString &t) {
              const QStringList parts = t.split(QLatin1Char('x'));
              int w = 0;
              int h = 0;
              if (parts.size() != 2 || !readInt(parts[0], 16, 10000, w)
                  || !readInt(parts[1], 16, 10000, h))
                  return false;
              o.screenSize = QSize(w, h);
              return true;
          });
    intValue({QStringLiteral("jpeg-quality")},
             QStringLiteral("JPEG quality of the screen picture."), QStringLiteral("1-100"),
             o.jpegQuality, 1, 100);
    intValue({QStringLiteral("answer-delay")},
             QStringLiteral("Milliseconds a student takes to answer a message."),
             QStringLiteral("ms"), o.answerDelayMs, 0, maxMs);
    value({QStringLiteral("ok-answer")},
          QStringLiteral("Answer to a plain message (OK button): \"status\" sends the status text "
                         "\"Komunikat potwierdzony\", \"none\" sends nothing."),
          QStringLiteral("status|none"), QStringLiteral("status"), [&o](const QString &t) {
              if (t != QLatin1String("status") && t != QLatin1String("none"))
                  return false;
              o.okAnswer = t == QLatin1String("status");
              return true;
          });
    value({QStringLiteral("yes-no")}, QStringLiteral("Answer to a yes/no question."),
          QStringLiteral("yes|no|random"), QStringLiteral("yes"), [&o](const QString &t) {
              if (t == QLatin1String("yes"))
                  o.yesNo = YesNo::Yes;
              else if (t == QLatin1String("no"))
                  o.yesNo = YesNo::No;
              else if (t == QLatin1String("random"))
                  o.yesNo = YesNo::Random;
              else
                  return false;
              return true;
          });
    value({QStringLiteral("typed-answer")},
          QStringLiteral("Typed answer to a message with an answer field; %n becomes the "
                         "student's name."),
          QStringLiteral("text"), o.typedAnswer, [&o](const QString &t) {
              o.typedAnswer = t;
              return true;
          });
    value({QStringLiteral("seed")}, QStringLiteral("Seed of the random answers and screens."),
          QStringLiteral("number"), QString::number(o.seed), [&o](const QString &t) {
              bool ok = false;
              o.seed = t.toUInt(&ok);
              return ok;
          });
    flag({QStringLiteral("power-closes")},
         QStringLiteral("After answering a shut-down, log-off or restart, close the connection "
                        "(with --reconnect the student comes back)."),
         o.powerCloses);
    flag({QStringLiteral("q"), QStringLiteral("quiet")},
         QStringLiteral("Print nothing on standard output."), o.quiet);
    value({QStringLiteral("tally")},
          QStringLiteral("At the end, write what the students sent and received as name=count "
                         "lines to this file (packets, answers, pictures, picture-requests...)."),
          QStringLiteral("file"), QString(), [&o](const QString &t) {
              o.tallyPath = t;
              return !t.isEmpty();
          });
    value({QStringLiteral("first-number")},
          QStringLiteral("Packet number of student 1's first packet; each next student starts "
                         "100000 higher."),
          QStringLiteral("number"), QString::number(o.firstNumber), [&o](const QString &t) {
              int n = 0;
              if (!readInt(t, 1, std::numeric_limits<int>::max() / 2, n))
                  return false;
              o.firstNumber = n;
              return true;
          });
    intValue({QStringLiteral("packet-gap")},
             QStringLiteral("Milliseconds between two packets on one connection."),
             QStringLiteral("ms"), o.packetGapMs, 0, maxMs);
    intValue({QStringLiteral("capture-delay")},
             QStringLiteral("Milliseconds from a screen picture request to its announcement, the "
                            "time an agent takes to grab and encode its screen; drawing the "
                            "simulated picture counts towards it (0: announce as soon as the "
                            "picture is drawn)."),
             QStringLiteral("ms"), o.captureDelayMs, 0, maxMs);
    intValue({QStringLiteral("stream-delay")},
             QStringLiteral("Milliseconds between an announcement and its stream."),
             QStringLiteral("ms"), o.streamDelayMs, 0, maxMs);
    intValue({QStringLiteral("after-stream-gap")},
             QStringLiteral("Milliseconds after a stream before the next packet."),
             QStringLiteral("ms"), o.afterStreamGapMs, 0, maxMs);

    flag({QStringLiteral("short-stream")},
         QStringLiteral("Fault: send a tenth fewer stream bytes than announced."),
         o.faults.shortStream);
    flag({QStringLiteral("surplus-stream")},
         QStringLiteral("Fault: send 1000 stream bytes more than announced."),
         o.faults.surplusStream);
    flag({QStringLiteral("corrupt-jpeg")},
         QStringLiteral("Fault: the screen picture is no readable JPEG (its first half is "
                        "overwritten); its size is as announced."),
         o.faults.corruptJpeg);
    flag({QStringLiteral("wrong-pass")},
         QStringLiteral("Fault: every packet carries the pass value 12345."), o.faults.wrongPass);
    flag({QStringLiteral("repeat-number")},
         QStringLiteral("Fault: every packet carries the number of the student's first packet."),
         o.faults.repeatNumber);
    flag({QStringLiteral("disconnect-mid-stream")},
         QStringLiteral("Fault: send half of a stream, then close the connection."),
         o.faults.disconnectMidStream);
    flag({QStringLiteral("slow-stream")},
         QStringLiteral("Fault: trickle every stream over --slow-seconds."), o.faults.slowStream);
    intValue({QStringLiteral("slow-seconds")}, QStringLiteral("Duration of a slow stream."),
             QStringLiteral("seconds"), o.slowSeconds, 1, 3600);
    flag({QStringLiteral("no-screen")},
         QStringLiteral("Fault: answer a picture request with code 2 flag 2 (no picture)."),
         o.faults.noScreen);
    value({QStringLiteral("fault-student")},
          QStringLiteral("Apply the fault switches to this student only (number from 1; may be "
                         "repeated or given as a comma list)."),
          QStringLiteral("number"), QString(), [&o](const QString &t) {
              for (const QString &part : t.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
                  int n = 0;
                  if (!readInt(part.trimmed(), 1, std::numeric_limits<int>::max(), n))
                      return false;
                  o.faultStudents.insert(n);
              }
              return true;
          });

    for (const Entry &entry : entries)
        parser.addOption(entry.option);

    if (!parser.parse(arguments)) {
        message = parser.errorText();
        return ParseOutcome::Error;
    }
    if (parser.isSet(QStringLiteral("help"))) {
        message = parser.helpText();
        return ParseOutcome::Help;
    }
    if (parser.isSet(QStringLiteral("version"))) {
        message = QCoreApplication::applicationName() + QLatin1Char(' ')
                  + QCoreApplication::applicationVersion();
        return ParseOutcome::Version;
    }
    if (!parser.positionalArguments().isEmpty()) {
        message = QStringLiteral("Unexpected argument: %1").arg(parser.positionalArguments()[0]);
        return ParseOutcome::Error;
    }

    for (const Entry &entry : entries) {
        const QString name = entry.option.names().constLast();
        if (entry.option.valueName().isEmpty()) {
            if (parser.isSet(entry.option))
                entry.apply(QString());
            continue;
        }
        if (!parser.isSet(entry.option))
            continue;
        for (const QString &v : parser.values(entry.option)) {
            if (!entry.apply(v)) {
                message = QStringLiteral("Invalid value for --%1: %2").arg(name, v);
                return ParseOutcome::Error;
            }
        }
    }
    if (!o.sourceBase.isNull()
        && o.sourceBase.toIPv4Address() > 0xFFFFFFFFu - quint32(o.students)) {
        message = QStringLiteral("--source-base leaves no room for %1 students").arg(o.students);
        return ParseOutcome::Error;
    }
    return ParseOutcome::Run;
}

} // namespace agentsim
