// Where UAC file virtualization keeps an old program's writes. A 32-bit program without a
// manifest, run unelevated, that writes under Program Files or Windows has its writes go to
// %LOCALAPPDATA%\VirtualStore\ with the rest of the path after the drive, and from then on it
// reads that copy instead of the real file. setup.exe runs elevated and sees the real files, so
// it must update the game's own copy too.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace install {

struct VirtualStore {
  std::vector<std::wstring> roots;  // the virtualized folders (Program Files, Windows, ...)
  std::wstring folder;              // the user's VirtualStore folder; empty when unknown
};

// The folder's copy in the virtual store, where the folder lies in a virtualized one (by drive
// letter, compared without regard to ASCII case); nothing otherwise.
std::optional<std::wstring> VirtualStoreCopyOf(const std::wstring& folder, const VirtualStore& store);

}  // namespace install
