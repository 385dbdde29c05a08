#include "processtable.h"

#include "platform/cp1250.h"

#include <QDir>
#include <QFile>

namespace agentsim {

namespace {

QByteArray cp(const QString &text)
{
    return cp1250::fromUnicode(text);
}

QByteArray readSmallFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.read(4096);
}

} // namespace

QList<processlist::ProcessEntry> machineProcesses()
{
    QList<processlist::ProcessEntry> entries;
    const QStringList names
            = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &dir : names) {
        bool numeric = false;
        const quint32 pid = dir.toUInt(&numeric);
        if (!numeric)
            continue;
        // A process may end between the listing and the reads; it is then left out.
        const QByteArray comm = readSmallFile(QStringLiteral("/proc/%1/comm").arg(dir)).trimmed();
        if (comm.isEmpty())
            continue;
        QByteArray cmdline = readSmallFile(QStringLiteral("/proc/%1/cmdline").arg(dir));
        cmdline.replace('\0', ' ');
        cmdline = cmdline.trimmed();
        const QString description
                = cmdline.isEmpty() ? QLatin1Char('[') + QString::fromUtf8(comm) + QLatin1Char(']')
                                    : QString::fromUtf8(cmdline);
        entries.append({cp(QString::fromUtf8(comm)), cp(description), pid});
    }
    return entries;
}

ProcessTable::ProcessTable(bool synthetic, int number, int padTo)
    : m_synthetic(synthetic)
    , m_number(number)
    , m_padTo(padTo)
    // Programs started by the teacher get ids no real or made-up process has:
    // above the kernel's largest process id, still a positive signed number,
    // since the console reads the id back as one when closing.
    , m_nextId(5'000'000u + quint32(number) * 1000u)
{}

QList<processlist::ProcessEntry> ProcessTable::baseEntries() const
{
    if (!m_synthetic)
        return machineProcesses();

    struct Made
    {
        const char *name;
        const char *description;
    };
    static const Made made[] = {
            {"System Idle Process", "Proces bezczynności systemu"},
            {"System", "Jądro systemu"},
            {"smss.exe", "Menedżer sesji"},
            {"csrss.exe", "Proces serwera klient-serwer"},
            {"wininit.exe", "Uruchamianie systemu"},
            {"winlogon.exe", "Logowanie do systemu"},
            {"services.exe", "Menedżer usług"},
            {"lsass.exe", "Zabezpieczenia lokalne"},
            {"svchost.exe", "Proces hosta usług"},
            {"explorer.exe", "Eksplorator"},
            {"notepad.exe", "Notatnik"},
            {"calc.exe", "Kalkulator"},
            {"mspaint.exe", "Edytor grafiki"},
    };
    QList<processlist::ProcessEntry> entries;
    const int total = std::max<int>(m_padTo, int(std::size(made)));
    for (int k = 0; k < total; ++k) {
        // Idle and System keep their fixed ids; the others differ per student,
        // so two students' lists are told apart at a glance.
        const quint32 pid = k == 0 ? 0u : k == 1 ? 4u : quint32(4 * (100 + 37 * k + m_number % 50));
        if (k < int(std::size(made))) {
            entries.append({cp(QString::fromUtf8(made[k].name)),
                            cp(QString::fromUtf8(made[k].description)), pid});
        } else {
            entries.append(
                    {QStringLiteral("proces-%1.exe").arg(k, 3, 10, QLatin1Char('0')).toLatin1(),
                     cp(QStringLiteral("Proces w tle nr %1").arg(k)), pid});
        }
    }
    return entries;
}

QList<processlist::ProcessEntry> ProcessTable::entries() const
{
    QList<processlist::ProcessEntry> all = baseEntries() + m_started;
    all.removeIf(
            [this](const processlist::ProcessEntry &e) { return m_closed.contains(e.processId); });
    return all;
}

bool ProcessTable::close(quint32 processId)
{
    const QList<processlist::ProcessEntry> now = entries();
    const bool listed = std::any_of(now.begin(), now.end(), [processId](const auto &e) {
        return e.processId == processId;
    });
    if (listed)
        m_closed.insert(processId);
    return listed;
}

quint32 ProcessTable::start(const QByteArray &programName)
{
    QByteArray name = programName;
    if (!name.toLower().endsWith(".exe"))
        name += ".exe";
    const quint32 id = m_nextId++;
    m_started.append({name, cp(QStringLiteral("Uruchomiony zdalnie")), id});
    return id;
}

} // namespace agentsim
