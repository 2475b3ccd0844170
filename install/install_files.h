// What the add-on installation needs from the file system. Win32Files implements it; tests fake it.
// Every operation that fails throws app::SetupError naming the file or folder.
#pragma once

#include <memory>
#include <string>

#include "install/data_file30.h"

namespace install {

class InstallFiles {
 public:
  virtual ~InstallFiles() = default;
  virtual bool IsFile(const std::wstring& path) = 0;
  virtual bool IsDirectory(const std::wstring& path) = 0;
  // Replaces destination by a complete copy of source, or leaves it as it was.
  virtual void CopyReplacing(const std::wstring& source, const std::wstring& destination) = 0;
  // Opens a file for one sequential pass; it is closed when the source is destroyed.
  virtual std::unique_ptr<ByteSource> OpenForReading(const std::wstring& path) = 0;
  // Replaces the file's contents by bytes in one step: on failure the old file stays whole.
  virtual void ReplaceContents(const std::wstring& path, const std::string& bytes) = 0;
};

}  // namespace install
