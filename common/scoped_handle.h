// One owner for every Win32 handle the program opens: file handles, registry keys, GDI objects
// and device contexts are closed on every path, early returns and exceptions included.
#pragma once

#include <windows.h>

#include <utility>

namespace common {

// Traits say what "no handle" is and how one is closed; they may carry what the close needs
// (a DC is released to the window it came from).
template <typename Traits>
class Scoped {
 public:
  using Handle = typename Traits::Handle;

  Scoped() = default;
  explicit Scoped(Handle handle, Traits traits = {}) : handle_(handle), traits_(traits) {}
  Scoped(const Scoped&) = delete;
  Scoped& operator=(const Scoped&) = delete;
  Scoped(Scoped&& other) noexcept : handle_(other.release()), traits_(other.traits_) {}
  Scoped& operator=(Scoped&& other) noexcept {
    if (this != &other) {
      reset();
      traits_ = other.traits_;
      handle_ = other.release();
    }
    return *this;
  }
  ~Scoped() { reset(); }

  Handle get() const { return handle_; }
  bool valid() const { return handle_ != Traits::None(); }
  Handle release() { return std::exchange(handle_, Traits::None()); }
  void reset() {
    if (valid()) traits_.Close(release());
  }

 private:
  Handle handle_ = Traits::None();
  Traits traits_{};
};

struct FileTraits {
  using Handle = HANDLE;
  static HANDLE None() { return INVALID_HANDLE_VALUE; }
  void Close(HANDLE handle) const { CloseHandle(handle); }
};

struct KeyTraits {
  using Handle = HKEY;
  static HKEY None() { return nullptr; }
  void Close(HKEY key) const { RegCloseKey(key); }  // status ignored: nothing useful to do with it
};

template <typename GdiHandle>
struct GdiTraits {
  using Handle = GdiHandle;
  static GdiHandle None() { return nullptr; }
  void Close(GdiHandle object) const { DeleteObject(object); }
};

struct WindowDcTraits {
  using Handle = HDC;
  HWND window = nullptr;
  static HDC None() { return nullptr; }
  void Close(HDC dc) const { ReleaseDC(window, dc); }
};

using ScopedHandle = Scoped<FileTraits>;
using ScopedKey = Scoped<KeyTraits>;
using ScopedFont = Scoped<GdiTraits<HFONT>>;
using ScopedDc = Scoped<WindowDcTraits>;

// The DC of a window, or of the whole screen for nullptr.
inline ScopedDc GetWindowDc(HWND window) { return ScopedDc(GetDC(window), WindowDcTraits{window}); }

}  // namespace common
