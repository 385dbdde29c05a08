#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>

// A server that a school runs (a web server, a proxy, a name server),
// started by a test as a process of its own on loopback, with its
// configuration and every file it writes in the test's scratch folder. It
// never becomes a system service: it ends with this object, at the latest.
class ServerProcess
{
public:
    ServerProcess() = default;
    ServerProcess(const ServerProcess &) = delete;
    ServerProcess &operator=(const ServerProcess &) = delete;
    ~ServerProcess() { stop(); }

    // Where program is, on the PATH or in the system's own folders (where
    // Debian puts servers and a user's PATH often does not look); empty
    // when it is not installed.
    static QString find(const QString &program);

    // Starts it; what it writes goes to outputFile. False when it does not
    // start at all.
    bool start(const QString &program, const QStringList &arguments, const QString &outputFile);
    bool running() const { return m_process.state() != QProcess::NotRunning; }
    // Ends it and waits; forcibly when it does not end by itself at once.
    void stop();

    // Runs a tool to its end; its output, when it fails, goes to error.
    static bool run(const QString &program, const QStringList &arguments, QString *error = nullptr);

private:
    QProcess m_process;
};

// Waits until something takes connections on 127.0.0.1:port, at most
// timeoutMs; on the way it gives up as soon as server has ended.
bool waitForTcpPort(quint16 port, const ServerProcess &server, int timeoutMs = 10000);
