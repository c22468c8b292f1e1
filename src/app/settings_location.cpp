#include "app/settings_location.h"

namespace tessarine::app {

TSettingsPlace FindSettingsFile(const std::optional<std::string>& givenFile) {
  return givenFile ? GivenSettingsFile(*givenFile) : ChooseSettingsFile(ReadSettingsEnvironment(ExecutableFolder()));
}

}  // namespace tessarine::app
