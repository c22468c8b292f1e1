#include "app/settings_location.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <system_error>

namespace tessarine::app {

namespace {

constexpr char kFileName[] = "setting.ini";

std::string Environment(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

}  // namespace

std::string ExecutableFolder() {
  std::error_code error;
  const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
  return error ? std::string(".") : self.parent_path().string();
}

TSettingsPlace ChooseSettingsFile(const TSettingsEnvironment& environment) {
  TSettingsPlace beside{environment.ExecutableFolder + "/" + kFileName, false};
  if (environment.BesideExists || environment.FolderWritable) return beside;
  std::string configHome;
  // A relative XDG_CONFIG_HOME is to be ignored.
  if (!environment.XdgConfigHome.empty() && environment.XdgConfigHome.front() == '/') {
    configHome = environment.XdgConfigHome;
  } else if (!environment.Home.empty()) {
    configHome = environment.Home + "/.config";
  } else {
    return beside;
  }
  while (configHome.size() > 1 && configHome.back() == '/') configHome.pop_back();
  return {configHome + "/tessarine-proxy/" + kFileName, true};
}

TSettingsEnvironment ReadSettingsEnvironment(const std::string& executableFolder) {
  TSettingsEnvironment environment;
  environment.ExecutableFolder = executableFolder;
  const std::string beside = executableFolder + "/" + kFileName;
  std::error_code error;
  environment.BesideExists = std::filesystem::exists(std::filesystem::symlink_status(beside, error));
  // The effective ids decide what a write may do.
  environment.FolderWritable = ::faccessat(AT_FDCWD, executableFolder.c_str(), W_OK | X_OK, AT_EACCESS) == 0;
  environment.XdgConfigHome = Environment("XDG_CONFIG_HOME");
  environment.Home = Environment("HOME");
  return environment;
}

TSettingsPlace GivenSettingsFile(const std::string& fileName) {
  std::error_code error;
  std::filesystem::path path = std::filesystem::absolute(fileName, error);
  if (error) return {fileName, false};
  return {path.lexically_normal().string(), false};
}

}  // namespace tessarine::app
