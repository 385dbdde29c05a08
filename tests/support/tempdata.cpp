#include "support/tempdata.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

TempDataHome::TempDataHome()
    : m_oldData(qgetenv("XDG_DATA_HOME"))
    , m_oldRuntime(qgetenv("XDG_RUNTIME_DIR"))
    , m_hadData(qEnvironmentVariableIsSet("XDG_DATA_HOME"))
    , m_hadRuntime(qEnvironmentVariableIsSet("XDG_RUNTIME_DIR"))
{
    QDir(m_dir.path()).mkdir(QStringLiteral("data"));
    QDir(m_dir.path()).mkdir(QStringLiteral("run"));
    QFile::setPermissions(m_dir.path() + QStringLiteral("/run"),
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    qputenv("XDG_DATA_HOME", QFile::encodeName(m_dir.path() + QStringLiteral("/data")));
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(m_dir.path() + QStringLiteral("/run")));
    // Tests never reach out: the update checks of a console under test go to
    // a closed port of this machine unless the test serves them itself.
    qputenv("DOCENTOR_UPDATE_HOST", "http://127.0.0.1:1");
}

TempDataHome::~TempDataHome()
{
    qunsetenv("DOCENTOR_UPDATE_HOST");
    if (m_hadData)
        qputenv("XDG_DATA_HOME", m_oldData);
    else
        qunsetenv("XDG_DATA_HOME");
    if (m_hadRuntime)
        qputenv("XDG_RUNTIME_DIR", m_oldRuntime);
    else
        qunsetenv("XDG_RUNTIME_DIR");
}

QString TempDataHome::dataFolder() const
{
    return m_dir.path() + QLatin1Char('/') + m_dataName + QStringLiteral("/Mervix-Tablor");
}

void TempDataHome::moveDataHome(const QString &name)
{
    m_dataName = name;
    QDir(m_dir.path()).mkdir(name);
    qputenv("XDG_DATA_HOME", QFile::encodeName(m_dir.path() + QLatin1Char('/') + name));
}

QString TempDataHome::logPath(const QDate &date) const
{
    return dataFolder() + QStringLiteral("/log/ADMIN_")
           + date.toString(QStringLiteral("yyyy-MM-dd")) + QStringLiteral(".txt");
}

QByteArray TempDataHome::readLog(const QDate &date) const
{
    QFile file(logPath(date));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QByteArray TempDataHome::readFile(const QString &name) const
{
    QFile file(dataFolder() + QLatin1Char('/') + name);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void TempDataHome::writeFile(const QString &name, const QByteArray &content) const
{
    const QString path = dataFolder() + QLatin1Char('/') + name;
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        file.write(content);
}
