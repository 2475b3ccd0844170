#include "install/addon_install.h"

#include "app/setup_error.h"
#include "install/addon_files.h"

namespace install {

std::wstring SourceDirFrom(const std::wstring& executable_dir) {
  if (!executable_dir.empty() && executable_dir.back() == L'\\') return executable_dir;
  return executable_dir + L"\\";
}

void InstallAddons(InstallFiles& files, const std::wstring& sourceDir, const std::wstring& installDir) {
  const std::wstring dataDir = installDir + kDataFolder;
  const std::wstring dataFile30 = dataDir + kDataFile30;

  // A missing piece found halfway would leave the product half-updated.
  if (!files.IsDirectory(dataDir)) throw app::MakeError(app::kErrorPathNotFound, dataDir);
  for (const wchar_t* name : kAddonFileList) {
    const std::wstring source = sourceDir + name;
    if (!files.IsFile(source)) throw app::MakeError(app::kErrorFileNotFound, source);
  }
  if (!files.IsFile(dataFile30)) throw app::MakeError(app::kErrorFileNotFound, dataFile30);

  for (const wchar_t* name : kAddonFileList) {
    files.CopyReplacing(sourceDir + name, dataDir + name);
  }
  UpdateDataFile30(files, dataFile30);
}

void UpdateDataFile30(InstallFiles& files, const std::wstring& path) {
  std::optional<std::string> rewritten;
  {
    std::unique_ptr<ByteSource> input = files.OpenForReading(path);
    rewritten = RewriteDataFile(*input);
  }  // closed before the file is replaced
  if (!rewritten) throw app::MakeError(app::kErrorHandleEof, path);
  files.ReplaceContents(path, *rewritten);
}

}  // namespace install
