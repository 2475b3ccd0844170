// The file system through Win32: the add-on installation's file operations.
#pragma once

#include <string>

#include "install/install_files.h"

namespace install {

// The folder that holds the running setup.exe, as Windows reports it: no trailing "\" except
// for a drive root such as M:\.
std::wstring ExecutableDir();

class Win32Files : public InstallFiles {
 public:
  bool IsFile(const std::wstring& path) override;
  bool IsDirectory(const std::wstring& path) override;
  void CopyReplacing(const std::wstring& source, const std::wstring& destination) override;
  std::unique_ptr<ByteSource> OpenForReading(const std::wstring& path) override;
  void ReplaceContents(const std::wstring& path, const std::string& bytes) override;
};

}  // namespace install
