// Hostile agents: what each attack of a misbehaving or malicious agent costs
// the console while a well-behaved agent keeps sending. The console runs with
// the open-file limit of a desktop session (1024). Attacks:
//   idle      1500 connections from one address, held open and idle
//   list      an unsolicited process list announced at 256 MiB and sent whole
//   picture   progressive JPEGs made to be slow to decode: an 8K one within
//             the decoder's pixel and scan limits, and a 10000 x 10000 one
//             of about 0.66 MB
//   forgery   status texts with CR LF and escape bytes that imitate log entries
//   unasked   a picture nobody asked for, announced and trickled over 10 s,
//             twice
//   stalled   an agent that stops reading its socket, and a command to every
//             computer
// and those the console bounds in total (intotal.cpp): log, names, streams.
// Figures of each: the resident memory's peak above what it was before, the
// longest wait of an event posted to the window every millisecond, how long
// the console took to be done with it, and the well-behaved agent's packets
// lost (sent but never logged as accepted) and its longest wait for one to be
// accepted; for the forgery also the entries
// it managed to forge.
//
//   bench_hostile [--quick] [attack ...]
#include "benchsupport.h"
#include "hostile.h"

#include <QApplication>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <sys/resource.h>

using namespace bench;
using namespace bench::hostile;

namespace {

constexpr rlim_t DesktopFileLimit = 1024;

} // namespace

int main(int argc, char **argv)
{
    if (argc == 5 && std::strcmp(argv[1], "--idle-agents") == 0)
        return holdIdleConnections(quint16(std::atoi(argv[2])), std::atoi(argv[3]), argv[4]);
    prepareEnvironment();
    QApplication app(argc, argv);
    QStringList attacks = app.arguments().mid(1);
    const bool quick = attacks.removeAll(QStringLiteral("--quick")) > 0;
    if (attacks.isEmpty())
        attacks = {QStringLiteral("forgery"), QStringLiteral("idle"),    QStringLiteral("picture"),
                   QStringLiteral("list"),    QStringLiteral("unasked"), QStringLiteral("stalled"),
                   QStringLiteral("log"),     QStringLiteral("names"),   QStringLiteral("streams")};
    printMachine();
    // The limit of a desktop session, which the console may raise itself.
    rlimit limit{};
    ::getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = std::min(limit.rlim_max, DesktopFileLimit);
    ::setrlimit(RLIMIT_NOFILE, &limit);
    printNote(QStringLiteral("hostile: the console's open-file limit is %1 as the benchmark "
                             "starts; the well-behaved agent sends from another address")
                      .arg(limit.rlim_cur));

    for (const QString &attack : attacks) {
        std::fprintf(stderr, "hostile: %s ...\n", qPrintable(attack));
        if (attack == QLatin1String("idle"))
            idleConnections(quick ? 1100 : 1500);
        else if (attack == QLatin1String("list"))
            processList(quick ? 32 * 1024 * 1024 : 256 * 1024 * 1024);
        else if (attack == QLatin1String("picture")) {
            picture(7680, 4320, 500);
            picture(10000, 10000, 498);
        } else if (attack == QLatin1String("forgery"))
            forgery(quick ? 50 : 200);
        else if (attack == QLatin1String("unasked"))
            unasked();
        else if (attack == QLatin1String("stalled"))
            stalled();
        else if (attack == QLatin1String("log"))
            logFlood(quick ? 10 : 60);
        else if (attack == QLatin1String("names"))
            nameChurn(quick ? 5 : 10);
        else if (attack == QLatin1String("streams"))
            streamFlood(64, quick ? 8 : 32, quick ? 15 : 30);
    }
    return 0;
}
