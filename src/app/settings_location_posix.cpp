#include "app/settings_location.h"

#include <fcntl.h>
#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string_view>
#include <system_error>
#include <vector>

namespace tessarine::app {

namespace {

constexpr char kFileName[] = "setting.ini";

std::string Environment(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

std::string UserDatabaseHome() {
  std::vector<char> buffer(16384);
  struct passwd entry {};
  struct passwd* found = nullptr;
  if (::getpwuid_r(::geteuid(), &entry, buffer.data(), buffer.size(), &found) != 0 || !found || !found->pw_dir)
    return {};
  return found->pw_dir;
}

}  // namespace

std::string ExecutableFolder() {
  std::error_code error;
  const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
  return error ? std::string(".") : self.parent_path().string();
}

TSettingsPlace ChooseSettingsFile(const TSettingsEnvironment& environment) {
  TSettingsPlace beside{environment.ExecutableFolder + "/" + kFileName, false};
  // A file left beside a system program by an earlier version is not read either.
  if (!IsSystemFolder(environment.ExecutableFolder) && (environment.BesideExists || environment.FolderWritable))
    return beside;
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

bool IsSystemFolder(const std::string& folder) {
  for (const std::string_view system : {"/usr", "/opt", "/bin", "/sbin"}) {
    if (folder.compare(0, system.size(), system) == 0 &&
        (folder.size() == system.size() || folder[system.size()] == '/'))
      return true;
  }
  return false;
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
  // Started without HOME (su without -, some service managers): the home is still known.
  if (environment.Home.empty()) environment.Home = UserDatabaseHome();
  return environment;
}

TSettingsPlace GivenSettingsFile(const std::string& fileName) {
  std::error_code error;
  std::filesystem::path path = std::filesystem::absolute(fileName, error);
  if (error) return {fileName, false};
  return {path.lexically_normal().string(), false};
}

std::string CacheDatabaseBeside(const std::string& settingsFile) {
  return settingsFile.substr(0, settingsFile.rfind('/') + 1) + "translations.sqlite";
}

}  // namespace tessarine::app
