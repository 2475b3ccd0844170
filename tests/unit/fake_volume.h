// An in-memory volume under the installation's primitives (install/install_files.h), and nothing
// of the installation's own logic: only Windows' rules for open files and what the world does.
//
// A name points at shared contents, so a hard link is a second name for the same pointer;
// contents are replaced, never changed in place by the run, so a copy of the volume is a
// snapshot. A file's id is its contents' address, which a rename keeps and a copy does not.
// Windows' rules: an open that asks to read, write or delete meets the sharing of every other
// open of the name; a read-only file is neither opened to be written nor deleted; nothing is
// renamed over a file that is open, read-only or held; a name deleted while another program
// holds its file stays, refusing every open, until that program lets go (under Wine it still
// opens); a volume without hard links refuses a link. The world: every write can be made to fail,
// or to kill the process, or to cut the power, when what was not flushed loses its contents
// (all of them, or with a seed, a random part), a lock file stays, and on FAT and exFAT a rename
// cut in its middle leaves both names on one file and the folder entries made or removed since
// the last flush of the folder are dropped (all, or with a seed, a random part), later ones
// staying; other programs hold files, and act before any write of the run (meddle).
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "install/install_files.h"

namespace fake {

struct Killed {};  // the process ended: nothing more happens

class FakeFiles : public install::InstallFiles {
 public:
  std::map<std::wstring, std::shared_ptr<std::string>> files;
  std::set<std::wstring> folders;
  std::set<std::wstring> read_only;  // a file is read-only on all its names
  std::set<std::wstring> game_holds;  // files another program holds open, sharing everything
  std::map<std::wstring, std::string> permissions;  // a file's own, by its name
  std::set<std::wstring> links;  // names that lead elsewhere: refused wherever they are opened
  std::map<std::wstring, int> held;  // opens that still meet a sharing violation; -1: forever
  std::vector<std::wstring> log;
  std::vector<unsigned> pauses;
  std::map<std::wstring, std::uint32_t> unreadable;  // opens that fail with this error
  std::uint64_t available = 1ull << 40;
  bool hard_links = true;
  bool ids = true;  // false: every file's id is 0, as some file systems give
  bool power_cut = false;  // the kill is a power cut
  // With a power cut, each file not flushed keeps or loses what was written, as this seed draws.
  std::optional<std::uint32_t> cut_seed;
  // FAT and exFAT: a rename writes the new folder entry and then removes the old one, and
  // entries reach the disk in any order until the folder is flushed. Renames go through handles
  // set to write-through, and reach the disk when they return.
  bool fat = false;
  bool times_kept = true;  // false: a time set on a copy does not take (an exFAT driver)
  bool time_set_drops_attributes = false;  // as Wine 10 does: hidden and system go, archive stays
  // Wine: a name deleted while another program holds the file still opens, and counts.
  bool pending_opens = false;
  // Called before each write of the run, with what it is about to do, as the log gives it.
  std::function<void(FakeFiles&, const std::wstring&)> meddle;
  // Called before each open of a name that is there already, with the kind and the path.
  std::function<void(FakeFiles&, const char*, const std::wstring&)> opening;
  std::map<std::string, int> fail_at;  // operation kind -> the call of that kind that fails
  int kill_at = 0;                     // the write of any kind on which the process is killed
  // Where a folder spelt otherwise really lies (an 8.3 name, a junction on the way), by the start.
  std::map<std::wstring, std::wstring> spellings;

  std::unique_ptr<install::Directory> PinFolder(const std::wstring& folder, bool must_be_itself) override;
  void Pause(unsigned milliseconds) override { pauses.push_back(milliseconds); }

  // The other program writes the file in place: every name of it sees the new contents.
  void WriteInPlace(const std::wstring& path, const std::string& bytes) { *files.at(path) = bytes; }
  // The other program renames a file of its own over path, as a game saves: refused, as Windows
  // refuses it, while an open of ours there does not share delete. Whether it was done.
  bool SwapByRename(const std::wstring& path, const std::string& bytes);
  // The other program lets go: names deleted meanwhile go with it.
  void LetGo();
  // Those Windows keeps apart from read-only, shared by every name of the file: hidden and
  // archive for a file the run did not make.
  std::uint32_t AttributesOf(const std::wstring& path) const;
  std::uint64_t IdOf(const std::wstring& path) const {
    return static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(files.at(path).get()));
  }
  int writes() const { return writes_; }
  bool killed() const { return killed_; }
  void Revive() {
    killed_ = cut_ = false;
    kill_at = 0;
  }
  std::map<std::wstring, std::string> Contents(const std::wstring& folder) const;
  // Another program moves the folder away and puts a link in its place: refused, as Windows
  // refuses to rename a folder, while an open of ours lies in it. Whether it was swapped.
  bool SwapForLink(const std::wstring& folder);

 private:
  class Handle;
  class Folder;
  struct Mode {  // of an open of ours: what its kind asks, and what it lets others ask
    explicit Mode(const install::OpenKind& kind)
        : read(kind.Reads()),
          write(kind.Writes()),
          del(kind.Deletes()),
          share_read(kind.share & install::opens::kShareRead),
          share_write(kind.share & install::opens::kShareWrite),
          share_delete(kind.share & install::opens::kShareDelete),
          delete_on_close(kind.options & install::opens::kDeleteOnClose) {}
    bool read, write, del;
    bool share_read, share_write, share_delete;
    bool delete_on_close;
    bool data() const { return read || write || del; }  // attributes alone meet no sharing
  };

  install::FileStatus Status(const install::Name& name);
  bool Exists(const std::wstring& path) const { return files.count(path) || folders.count(path) || links.count(path); }
  // A folder is there where it, or any folder in it, is.
  bool IsFolder(const std::wstring& path) const;
  bool HeldByGame(const std::wstring& path) const;
  void CheckOpen(const install::Name& name, const Mode& mode);
  void CheckHeld(const std::wstring& path, const install::Name& reported);
  // cut_inside: what a power cut in the middle of this operation leaves done.
  void Write(const std::string& kind, const install::Name& name, const std::function<void()>& cut_inside = {});
  void Write(const std::string& kind, const std::wstring& path, const common::SetupError& failure,
             const std::function<void()>& cut_inside = {});
  void CutPower();

  struct Entry {  // a folder entry made or removed since its folder was last flushed
    bool made;
    std::wstring path;
    std::shared_ptr<std::string> file;
  };
  void Entered(bool made, const std::wstring& path, std::shared_ptr<std::string> file);
  std::vector<Entry> entries_;
  std::set<std::wstring> unflushed_;
  std::set<std::wstring> pending_;  // deleted while the game holds the file
  std::map<const std::string*, std::uint64_t> stamped_;  // times set on files, by their contents
  std::map<std::wstring, std::uint32_t> attributes_;     // set by the run, by a name of the file
  std::uint64_t clock_ = 0;
  std::multimap<std::wstring, const Handle*> open_;  // ours, by name; none between runs
  std::multiset<std::wstring> held_folders_;         // ours, pinned or opened
  std::map<std::string, int> calls_;
  int writes_ = 0;
  bool killed_ = false;
  bool cut_ = false;  // the kill was a power cut: nothing is closed
};

}  // namespace fake
