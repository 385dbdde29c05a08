#pragma once

#include <QByteArray>

class QThreadPool;

// The names of the students' computers. A name is looked up once when a
// computer connects, on a pool of worker threads, never on the window's: a
// name service that has to wait would otherwise stall the window at each
// text that shows a name.
namespace platform::hostnames {

struct Settings
{
    // Whether a computer the name service does not know is asked itself.
    bool netbios = true;
    quint16 netbiosPort = 137;
    int netbiosTimeoutMs = 250;
    int netbiosAttempts = 2;
    // How old a name may grow before a text that shows it has it looked up
    // again (in the background; the text shows the old one).
    qint64 refreshMs = 5 * 60 * 1000;
};

// Read from DOCENTOR_NETBIOS (0 switches the NetBIOS query off) and
// DOCENTOR_NETBIOS_PORT at first use.
Settings settings();
// Replaces them (tests, tools); read again from the environment by reset().
void setSettings(const Settings &settings);
void resetSettings();

// The computer's name as Windows-1250 bytes: the system's reverse lookup
// (or the resolver a test put in its place) and, when that knows no name,
// the NetBIOS query. Empty when neither gives one. Blocks.
QByteArray lookUp(const QByteArray &address);

// Where the lookups run: enough threads for a whole room to be looked up at
// once while the name service takes its time over each.
QThreadPool *pool();
constexpr int PoolThreads = 32;

qint64 steadyMs();

} // namespace platform::hostnames
