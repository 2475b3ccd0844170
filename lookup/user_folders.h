// Where the game's own copies of the data folder may be: the folders UAC virtualizes and every
// account's profile folder, read where Windows keeps them, which only administrators may change.
#pragma once

#include <string>
#include <vector>

namespace lookup {

// Program Files (both), ProgramData and Windows, each where it really lies, every link on the
// way resolved; one the system does not have is left out.
std::vector<std::wstring> VirtualizedFolders();

// Every account's profile folder as the system lists it, the desktop user's first; services'
// own accounts, never virtualized, are left out.
std::vector<std::wstring> ProfileFolders();

}  // namespace lookup
