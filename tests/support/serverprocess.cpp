#include "support/serverprocess.h"

#include <QStandardPaths>
#include <QTcpSocket>
#include <QTest>

QString ServerProcess::find(const QString &program)
{
    const QString onPath = QStandardPaths::findExecutable(program);
    if (!onPath.isEmpty())
        return onPath;
    return QStandardPaths::findExecutable(program,
                                          {QStringLiteral("/usr/sbin"), QStringLiteral("/sbin")});
}

bool ServerProcess::start(const QString &program, const QStringList &arguments,
                          const QString &outputFile)
{
    m_process.setProcessChannelMode(QProcess::MergedChannels);
    m_process.setStandardOutputFile(outputFile);
    m_process.setStandardInputFile(QProcess::nullDevice());
    m_process.start(program, arguments);
    return m_process.waitForStarted(10000);
}

void ServerProcess::stop()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    m_process.terminate();
    if (!m_process.waitForFinished(5000)) {
        m_process.kill();
        m_process.waitForFinished(5000);
    }
}

bool ServerProcess::run(const QString &program, const QStringList &arguments, QString *error)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    const bool ok = process.waitForFinished(30000) && process.exitStatus() == QProcess::NormalExit
                    && process.exitCode() == 0;
    if (!ok && error)
        *error = program + QLatin1Char(' ') + arguments.join(QLatin1Char(' '))
                 + QStringLiteral(": ") + QString::fromLocal8Bit(process.readAll());
    return ok;
}

bool waitForTcpPort(quint16 port, const ServerProcess &server, int timeoutMs)
{
    bool open = false;
    const bool ended = QTest::qWaitFor(
            [&] {
                QTcpSocket probe;
                probe.connectToHost(QStringLiteral("127.0.0.1"), port);
                open = probe.waitForConnected(1000);
                return open || !server.running();
            },
            timeoutMs);
    return ended && open;
}
