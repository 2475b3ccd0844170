// The add-on files, in the order they are copied.
#pragma once

#include <array>
#include <cstddef>

namespace install {

inline constexpr std::array<const wchar_t*, 23> kAddonFileList{
    L"21.dat", L"15.dat", L"16.dat", L"17.dat", L"51.dat", L"52.dat", L"54.dat", L"55.dat",
    L"57.dat", L"59.dat", L"60.dat", L"62.dat", L"63.dat", L"64.dat", L"65.dat", L"67.dat",
    L"68.dat", L"69.dat", L"70.dat", L"71.dat", L"73.dat", L"21-2.mid", L"23-2.mid",
};

inline constexpr wchar_t kDataFolder[] = L"data\\";
inline constexpr wchar_t kDataFile30[] = L"30.dat";
// Windows' own limit on a path (MAX_PATH less the terminator), for programs that do not opt
// into long paths.
inline constexpr std::size_t kLongestPath = 259;

}  // namespace install
