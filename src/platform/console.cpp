#include "platform/console.h"

namespace platform {

void useParentConsole() {}

} // namespace platform
