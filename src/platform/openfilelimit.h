#pragma once

namespace platform {

// Raises the soft limit of open descriptors to the hard limit, so that the
// server's cap on connections, which follows the soft limit, is as high as
// the system allows this user. Answers the soft limit in force afterwards
// (the old one when it could not be raised; -1 when it is unlimited or
// cannot be told).
long long raiseOpenFileLimit();

} // namespace platform
