#pragma once

// Makes file permissions bind the calling thread while it lives, also when
// the tests run as root: root's capabilities to override read, write and
// search permissions and to act as a file's owner leave the thread's
// effective set, and come back when this goes. For any other user the
// permissions bind anyway and nothing changes.
class FilePermissionsEnforced
{
public:
    FilePermissionsEnforced();
    ~FilePermissionsEnforced();
    FilePermissionsEnforced(const FilePermissionsEnforced &) = delete;
    FilePermissionsEnforced &operator=(const FilePermissionsEnforced &) = delete;

    // False when root's capabilities could not be dropped; a test then
    // cannot make a file read-only for this process.
    bool active() const { return m_active; }

private:
    bool m_active = true;
    bool m_dropped = false;
    unsigned m_savedEffective[2] = {};
};
