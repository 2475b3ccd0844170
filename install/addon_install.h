// The add-on installation: the copies and the product code, without the window.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "install/folder.h"

namespace install {

// The program's own folder as the base of the source paths: "\" is added unless it ends in one
// (a drive root such as M:\ does).
std::wstring SourceDirFrom(const std::wstring& executable_dir);

// Where the game's own copies of the data folder may be (lookup/user_folders.h): the folders UAC
// virtualizes, each as Directory::WhereItLies gives a folder, and every account's profile folder,
// the desktop user's first, asked for only where the data folder lies in one of the former (the
// desktop user's account is looked up, maybe by a domain controller).
struct UserFolders {
  std::vector<std::wstring> virtualized;
  std::function<std::vector<std::wstring>()> profiles;
};

// Copies the 23 add-on files from sourceDir into installDir's data folder and writes the
// product code into data\30.dat, all or nothing: everything is checked, then every new file
// is staged, before the first destination changes, and a failure leaves the data folder as it
// was. The game's own copies of the data folder among users' get the same.
void InstallAddons(InstallFiles& files, const std::wstring& sourceDir, const std::wstring& installDir,
                   const UserFolders& users);

}  // namespace install
