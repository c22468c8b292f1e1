#pragma once

#include <string>

namespace tessarine::app {

// Where the settings file is.
struct TSettingsPlace {
  std::string FileName;
  // Its folder may not exist yet: the first write makes it.
  bool CreateFolder = false;
};

// What the choice of the settings file depends on.
struct TSettingsEnvironment {
  std::string ExecutableFolder;
  bool BesideExists = false;    // "setting.ini" stands in ExecutableFolder
  bool FolderWritable = false;  // ExecutableFolder may be written by this process
  std::string XdgConfigHome;    // $XDG_CONFIG_HOME, empty when unset
  std::string Home;             // $HOME, empty when unset
};

// "setting.ini" beside the executable, as always, so a copied folder stays portable; but an installed program
// cannot write there: when no such file exists and the folder is not writable, the file is
// $XDG_CONFIG_HOME/tessarine-proxy/setting.ini (~/.config when that is unset or not absolute). With no usable
// home either, it stays beside the executable (and a write reports that it cannot write there).
TSettingsPlace ChooseSettingsFile(const TSettingsEnvironment& environment);

// The folder of the running executable (its real path).
std::string ExecutableFolder();

// The environment as this process sees it.
TSettingsEnvironment ReadSettingsEnvironment(const std::string& executableFolder);

// The file given with --settings, as a full path (the write error names the full path).
TSettingsPlace GivenSettingsFile(const std::string& fileName);

}  // namespace tessarine::app
