#pragma once

#include <optional>
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
  std::string XdgConfigHome;    // $XDG_CONFIG_HOME, empty when unset (POSIX)
  std::string Home;             // $HOME, or the user's home in the user database when unset; empty when neither (POSIX)
  std::string AppData;          // %APPDATA%, empty when unset (Windows)
};

// "setting.ini" beside the executable, as always, so a copied folder stays portable; but an installed program
// cannot write there: when no such file exists and the folder is not writable, the file is
// $XDG_CONFIG_HOME/tessarine-proxy/setting.ini (~/.config when that is unset or not absolute), on Windows
// %APPDATA%\Tessarine Proxy\setting.ini. On POSIX systems a program in a
// system folder (see IsSystemFolder) always takes the latter, whoever runs it and whatever stands beside it:
// root may write /usr/bin, but a file there belongs to no package and stops every other user's Exit. With no
// usable home either, it stays beside the executable (and a write reports that it cannot write there).
TSettingsPlace ChooseSettingsFile(const TSettingsEnvironment& environment);

// /usr (with /usr/local), /opt, /bin or /sbin, or a folder inside one of them: where packages and
// installations from source put programs. On Windows no folder is: the folder's permissions decide.
bool IsSystemFolder(const std::string& folder);

// The folder of the running executable (its real path).
std::string ExecutableFolder();

// The environment as this process sees it.
TSettingsEnvironment ReadSettingsEnvironment(const std::string& executableFolder);

// The file given with --settings, as a full path (the write error names the full path).
TSettingsPlace GivenSettingsFile(const std::string& fileName);

// The file given with --settings when there is one, else the one ChooseSettingsFile finds for this process.
TSettingsPlace FindSettingsFile(const std::optional<std::string>& givenFile);

// The translation cache's database, in the settings file's folder (either separator ends a folder on Windows).
std::string CacheDatabaseBeside(const std::string& settingsFile);

}  // namespace tessarine::app
