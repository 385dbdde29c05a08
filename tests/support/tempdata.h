#pragma once

#include <QByteArray>
#include <QDate>
#include <QString>
#include <QTemporaryDir>

// A private home for the console's files during one test: $XDG_DATA_HOME and
// $XDG_RUNTIME_DIR point into a temporary folder, restored afterwards, and
// $DOCENTOR_UPDATE_HOST points to a closed port of 127.0.0.1.
class TempDataHome
{
public:
    TempDataHome();
    ~TempDataHome();

    QString root() const { return m_dir.path(); }
    // Where the console keeps its files: <root>/data/Mervix-Tablor.
    QString dataFolder() const;
    // Points $XDG_DATA_HOME, and everything above, at <root>/<name>, made
    // here; for paths with characters of their own.
    void moveDataHome(const QString &name);
    QString logPath(const QDate &date = QDate::currentDate()) const;
    QByteArray readLog(const QDate &date = QDate::currentDate()) const;
    QByteArray readFile(const QString &nameInDataFolder) const;
    void writeFile(const QString &nameInDataFolder, const QByteArray &content) const;

private:
    QTemporaryDir m_dir;
    QString m_dataName = QStringLiteral("data");
    QByteArray m_oldData;
    QByteArray m_oldRuntime;
    bool m_hadData;
    bool m_hadRuntime;
};
