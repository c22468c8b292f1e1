#pragma once

#include <optional>
#include <ostream>
#include <string>

namespace tessarine::app {

// The engine check: every engine the menu shows is asked once, through the real upstream client and the hosts
// of the settings file's [Engines], to translate text for langpair ("en|de"). Writes a table of engine, host,
// result or error message and time in milliseconds. Returns 0 when at least one engine gave a translation,
// 1 when none did, 2 for a langpair without "|".
int CheckEngines(const std::string& settingsPath, const std::u16string& text, const std::u16string& langpair,
                 std::ostream& out);

// With --check-engines among the arguments (and optionally --text T, --langpair P), runs the check against the
// settings file beside the executable and returns its exit code; nothing for any other command line. A bad
// argument gives a message on err and code 2.
std::optional<int> RunCheckEnginesIfAsked(int argc, char** argv, std::ostream& out, std::ostream& err);

}  // namespace tessarine::app
