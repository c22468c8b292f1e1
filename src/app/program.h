#pragma once

namespace tessarine::app {

// The whole program: start-up, the message loop until Exit or SIGTERM/SIGINT, and the orderly end. Returns
// the exit code (0). The settings file is "setting.ini" beside the executable. With --check-engines only the
// engine check runs (check_engines.h) and its exit code is returned.
int RunTessarineProxy(int argc, char** argv);

}  // namespace tessarine::app
