// The program's own names in a folder it writes in: each destination's spare names, its record
// and its lock, each spelt here alone. None is a name a user's file may have there.
#pragma once

#include <cstddef>
#include <string>

namespace install {

inline constexpr wchar_t kStagedSuffix[] = L".setup-new";
inline constexpr wchar_t kKeptSuffix[] = L".setup-old";
// A file a rollback cannot tell from one somebody else put there is never deleted: it is kept
// under NAME.setup-bak, or .setup-bak2 to .setup-bak9 where that is taken, and the report names it.
inline constexpr wchar_t kAsideSuffix[] = L".setup-bak";
inline constexpr int kAsideNames = 9;
inline constexpr wchar_t kJournalName[] = L"setup.journal";
// Held, without sharing, by the run that works on the folder; gone when it ends.
inline constexpr wchar_t kLockName[] = L"setup.lock";
// What the program adds to a destination's name, at most, and its longest name of its own.
inline constexpr std::size_t kLongestSpareSuffix = 11;   // ".setup-bak9"
inline constexpr std::size_t kLongestOwnName = 13 + 10;  // "setup.journal.setup-old"

inline std::wstring Staged(const std::wstring& name) { return name + kStagedSuffix; }
inline std::wstring Kept(const std::wstring& name) { return name + kKeptSuffix; }
// The n-th of NAME's names aside, from 1 to kAsideNames.
std::wstring Aside(const std::wstring& name, int n);

// One name in a folder, never a way out of it: no separator, no "." or "..", nothing Windows
// refuses in a name.
bool IsPlainName(const std::wstring& name);
bool IsAsideName(const std::wstring& name);
bool IsOwnName(const std::wstring& name);

}  // namespace install
