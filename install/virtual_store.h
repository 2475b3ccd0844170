// Where UAC file virtualization keeps an old program's writes. A 32-bit program without a
// manifest, run unelevated, that writes under Program Files or Windows has its writes go to
// %LOCALAPPDATA%\VirtualStore\ with the rest of the path after the drive, and from then on it
// reads that copy instead of the real file. setup.exe runs elevated and sees the real files, so
// it must update the game's own copy too, in every account that has one.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace install {

// The names, one folder each, from a profile folder down to its copy of folder, or nothing where
// folder is not inside a virtualized one. Both as Directory::WhereItLies gives them: where they
// really lie, in long form, so that an 8.3 spelling or a junction on the way finds the same copy.
// Compared without regard to ASCII case, as the volume compares names.
std::optional<std::vector<std::wstring>> VirtualStoreNames(const std::wstring& folder,
                                                           const std::vector<std::wstring>& virtualized);

}  // namespace install
