#pragma once

#include <QString>

// The marker that tells a second copy of the console that one already runs.
// On Windows it is the named semaphore of that name, which the system
// removes with the last process holding it. Elsewhere it is an exclusive lock on a file named after the marker in the user's
// runtime folder ($XDG_RUNTIME_DIR, else a folder of this user in the
// temporary folder); the system releases it when the process ends, however
// it ends.
//
// Whoever can reach the marker's folder can hold the lock and keep the console
// from starting, or plant a link that makes it create a file elsewhere. So the
// folder must be a real folder owned by this user and closed to everyone else
// (a folder it makes itself gets mode 0700), and the lock file is never opened
// through a link.
class SingleInstance
{
public:
    explicit SingleInstance(const QString &name);
    ~SingleInstance();
    SingleInstance(const SingleInstance &) = delete;
    SingleInstance &operator=(const SingleInstance &) = delete;

    // True when another process holds the marker. When the marker cannot be
    // made at all, this copy goes on as the first one.
    bool alreadyExists() const { return m_alreadyExists; }

    // Why the marker was not trusted, when it was not; the console then must
    // not start.
    enum class Unsafe { No, Folder, LockFile };
    Unsafe unsafe() const { return m_unsafe; }

    QString folder() const { return m_folder; }
    QString lockPath() const { return m_path; }

private:
    void open();

    QString m_folder;
    QString m_path;
    int m_fd = -1;
    void *m_handle = nullptr;
    bool m_alreadyExists = false;
    Unsafe m_unsafe = Unsafe::No;
};
