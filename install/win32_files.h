// The file system through Win32: the add-on installation's file operations.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "install/install_files.h"

namespace install {

// The folder that holds the running setup.exe, as Windows reports it: no trailing "\" except
// for a drive root such as M:\.
std::wstring ExecutableDir();

class Win32Files : public InstallFiles {
 public:
  std::unique_ptr<Directory> PinFolder(const std::wstring& folder, bool must_be_itself) override;
  void Pause(unsigned milliseconds) override;
  std::vector<std::wstring> VirtualizedFolders() override;
  std::vector<std::wstring> ProfileFolders() override;
};

}  // namespace install
