#pragma once

namespace tessarine::app {

// The whole program: start-up, the message loop until Exit or SIGTERM/SIGINT, and the orderly end. Returns
// the exit code (0). No argument is read; the settings file is "setting.ini" beside the executable.
int RunTessarineProxy(int argc, char** argv);

}  // namespace tessarine::app
