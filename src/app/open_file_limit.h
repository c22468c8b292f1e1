#pragma once

namespace tessarine::app {

// Raises the process's soft limit on open files to its hard limit: every connection the server holds is an open
// file, and a desktop session often starts programs with a soft limit of 1024 under a far higher hard one.
// False when the system refused; the limit is then as it was.
bool RaiseOpenFileLimit();

}  // namespace tessarine::app
