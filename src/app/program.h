#pragma once

namespace tessarine::app {

// The whole program: start-up, the message loop until Exit or SIGTERM/SIGINT, and the orderly end. Returns
// the exit code: 0, or 2 for a command line that cannot be run (see command_line.h). The settings file is the
// one given with --settings, else the one ChooseSettingsFile finds. With --check-engines only the engine
// check runs (check_engines.h) and its exit code is returned.
int RunTessarineProxy(int argc, char** argv);

}  // namespace tessarine::app
