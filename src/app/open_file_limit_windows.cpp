#include "app/open_file_limit.h"

namespace tessarine::app {

// Windows has no per-process limit on sockets or handles to raise.
bool RaiseOpenFileLimit() { return true; }

}  // namespace tessarine::app
