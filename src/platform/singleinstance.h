#pragma once

#include <QString>

// The marker that tells a second copy of the console that one already runs.
// It is an exclusive lock on a file named after the marker in the user's
// runtime folder ($XDG_RUNTIME_DIR, else the temporary folder); the system
// releases it when the process ends, however it ends.
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

    QString lockPath() const { return m_path; }

private:
    QString m_path;
    int m_fd = -1;
    bool m_alreadyExists = false;
};
