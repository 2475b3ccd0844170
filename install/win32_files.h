// The file system through Win32: the add-on installation's file operations.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "install/install_files.h"

namespace install {

// The rights the tier believes an open file of Win32Files has, beside those the system records
// for it (FileAccessInformation): for the rights probe.
struct Rights {
  std::uint32_t believed = 0, recorded = 0;
};
Rights RightsOf(File& file);

class Win32Files : public InstallFiles {
 public:
  std::unique_ptr<Directory> PinFolder(const std::wstring& folder, bool must_be_itself) override;
  void Pause(unsigned milliseconds) override;
};

}  // namespace install
