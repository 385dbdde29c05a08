#include "platform/singleinstance.h"

#include <windows.h>

// The semaphore is named without a namespace prefix, so it lives in the
// session's own namespace: one console per logged-on teacher.
SingleInstance::SingleInstance(const QString &name)
    : m_path(name)
{
    open();
}

void SingleInstance::open()
{
    ::SetLastError(ERROR_SUCCESS);
    const HANDLE h = ::CreateSemaphoreW(nullptr, 0, 1, reinterpret_cast<LPCWSTR>(m_path.utf16()));
    const DWORD code = ::GetLastError();
    if (!h) {
        // Another user's object of that name in this session: not trusted,
        // as a lock file of someone else's is not.
        if (code == ERROR_ACCESS_DENIED)
            m_unsafe = Unsafe::LockFile;
        return;
    }
    if (code == ERROR_ALREADY_EXISTS) {
        m_alreadyExists = true;
        ::CloseHandle(h);
        return;
    }
    m_handle = h;
}

SingleInstance::~SingleInstance()
{
    if (m_handle)
        ::CloseHandle(m_handle);
}
