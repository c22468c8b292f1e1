#pragma once

#include <ostream>
#include <string>

namespace tessarine::app {

// The engine check: every engine the menu shows is asked once, through the real upstream client and the hosts
// of the settings file's [Engines], to translate text for langpair ("en|de"). Writes a table of engine, host,
// result or error message and time in milliseconds. Returns 0 when at least one engine gave a translation,
// 1 when none did, 2 for a langpair without "|". An empty text or langpair means "Hello world" and "en|de".
int CheckEngines(const std::string& settingsPath, const std::u16string& text, const std::u16string& langpair,
                 std::ostream& out);

}  // namespace tessarine::app
