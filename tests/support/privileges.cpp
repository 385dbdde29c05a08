#include "support/privileges.h"

#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

constexpr unsigned bit(int capability)
{
    return 1u << (capability % 32);
}

// The capabilities that let root ignore file permissions; all three lie in
// the first word of the set.
constexpr unsigned Overrides = bit(CAP_DAC_OVERRIDE) | bit(CAP_DAC_READ_SEARCH) | bit(CAP_FOWNER);

bool get(__user_cap_data_struct (&data)[2])
{
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    return ::syscall(SYS_capget, &header, data) == 0;
}

bool set(__user_cap_data_struct (&data)[2])
{
    // Pid 0: the calling thread only; the other threads keep their set.
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    return ::syscall(SYS_capset, &header, data) == 0;
}

} // namespace

FilePermissionsEnforced::FilePermissionsEnforced()
{
    __user_cap_data_struct data[2] = {};
    if (!get(data)) {
        m_active = ::geteuid() != 0;
        return;
    }
    if ((data[0].effective & Overrides) == 0)
        return;
    m_savedEffective[0] = data[0].effective;
    m_savedEffective[1] = data[1].effective;
    data[0].effective &= ~Overrides;
    m_dropped = set(data);
    m_active = m_dropped;
}

FilePermissionsEnforced::~FilePermissionsEnforced()
{
    if (!m_dropped)
        return;
    __user_cap_data_struct data[2] = {};
    if (!get(data))
        return;
    data[0].effective = m_savedEffective[0];
    data[1].effective = m_savedEffective[1];
    set(data);
}
