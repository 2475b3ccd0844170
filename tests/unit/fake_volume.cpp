#include "fake_volume.h"

#include <algorithm>

#include "common/setup_error.h"

namespace fake {

using install::Name;

// One open of ours. Closing a lock deletes it, unless the power was cut.
class FakeFiles::Handle : public install::File {
 public:
  Handle(FakeFiles& fs, const Name& name, install::FileStatus status, Mode mode)
      : fs_(fs), name_(name), status_(status), mode_(mode), file_(fs.files.count(name.path()) ? fs.files.at(name.path()) : nullptr) {
    fs_.open_.emplace(name_.path(), this);
  }
  Handle(const Handle&) = delete;
  ~Handle() override {
    Forget();
    if (mode_.delete_on_close && !fs_.cut_ && Here()) fs_.files.erase(name_.path());
  }
  const Mode& mode() const { return mode_; }

  const install::FileStatus& status() const override { return status_; }
  std::size_t ReadAt(std::uint64_t offset, char* buf, std::size_t n) override {
    if (!file_) return 0;
    return offset >= file_->size() ? 0 : file_->copy(buf, n, offset);
  }
  void Write(const char* data, std::size_t size) override {
    fs_.Write("write", name_);
    Replace(std::make_shared<std::string>(*file_ + std::string(data, size)));
    fs_.unflushed_.insert(name_.path());
  }
  void Flush() override {
    fs_.Write("flush", name_);
    fs_.unflushed_.erase(name_.path());
  }
  void SetTime(std::uint64_t write_time) override {
    fs_.Write("time", name_);
    // A copy made where time sets do not take has the time of its making.
    fs_.stamped_[file_.get()] = fs_.times_kept ? write_time : ++fs_.clock_;
    if (fs_.time_set_drops_attributes) SetApart(install::attributes::kArchive);
  }
  void SetAttributes(std::uint32_t attributes) override {
    fs_.Write("attributes", name_);
    SetApart(attributes & ~install::attributes::kReadOnly);
    for (const auto& [path, bytes] : fs_.files) {
      if (bytes != file_) continue;
      if (attributes & install::attributes::kReadOnly) {
        fs_.read_only.insert(path);
      } else {
        fs_.read_only.erase(path);
      }
    }
  }
  std::string Permissions() override {
    const auto own = fs_.permissions.find(name_.path());
    return own == fs_.permissions.end() ? std::string() : own->second;
  }
  void SetPermissions(const std::string& permissions) override {
    fs_.Write("permit", name_);
    fs_.permissions[name_.path()] = permissions;
  }
  std::uint64_t Id() override {
    return fs_.ids ? static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(file_.get())) : 0;
  }
  void RenameTo(const Name& to, bool replace) override {
    FakeFiles& fs = fs_;
    const std::wstring from = name_.path(), target = to.path();
    fs.Write("move", to, [&] {
      // Torn: the new entry written, the old one not yet removed.
      if (fs.fat && fs.files.count(from) && !fs.Exists(target)) fs.files[target] = fs.files.at(from);
    });
    // Windows names the destination when a move fails, whichever of the two was held.
    fs.CheckHeld(from, to);
    fs.CheckHeld(target, to);
    if (fs.Exists(target) && (!replace || fs.folders.count(target) || fs.links.count(target))) {
      throw to.Error(replace ? common::kErrorAccessDenied : common::kErrorAlreadyExists);
    }
    if (fs.open_.count(target) ||
        (fs.files.count(target) && (fs.Status(to).read_only || fs.HeldByGame(target) || fs.pending_.count(target)))) {
      throw to.Error(common::kErrorAccessDenied);
    }
    fs.files[target] = file_;
    fs.files.erase(from);
    fs.permissions.erase(target);
    if (auto own = fs.permissions.extract(from)) fs.permissions[target] = own.mapped();
    if (fs.read_only.erase(from)) fs.read_only.insert(target);
    if (fs.game_holds.erase(from)) fs.game_holds.insert(target);  // the game holds the file, not its name
    fs.attributes_.erase(target);
    if (auto own = fs.attributes_.extract(from)) fs.attributes_[target] = own.mapped();
    if (fs.unflushed_.erase(from)) fs.unflushed_.insert(target);
    Forget();
    name_ = to;
    fs.open_.emplace(target, this);
  }
  void Delete() override {
    fs_.Write("delete", name_);
    if (!Here()) return;
    if (fs_.Status(name_).read_only) throw name_.Error(common::kErrorAccessDenied);
    if (fs_.HeldByGame(name_.path())) {
      fs_.pending_.insert(name_.path());
      return;
    }
    fs_.Entered(false, name_.path(), fs_.files.at(name_.path()));
    fs_.files.erase(name_.path());
    fs_.unflushed_.erase(name_.path());
    fs_.read_only.erase(name_.path());
    fs_.permissions.erase(name_.path());
    fs_.attributes_.erase(name_.path());
  }

 private:
  bool Here() const { return file_ && fs_.files.count(name_.path()) && fs_.files.at(name_.path()) == file_; }
  void SetApart(std::uint32_t attributes) {
    for (const auto& [path, bytes] : fs_.files) {
      if (bytes == file_) fs_.attributes_[path] = attributes;
    }
  }
  void Replace(std::shared_ptr<std::string> bytes) {
    if (Here()) fs_.files[name_.path()] = bytes;
    file_ = std::move(bytes);
  }
  void Forget() {
    for (auto it = fs_.open_.lower_bound(name_.path()); it != fs_.open_.upper_bound(name_.path()); ++it) {
      if (it->second == this) {
        fs_.open_.erase(it);
        return;
      }
    }
  }

  FakeFiles& fs_;
  Name name_;
  install::FileStatus status_;
  Mode mode_;
  std::shared_ptr<std::string> file_;
};

class FakeFiles::Folder : public install::Directory {
 public:
  Folder(FakeFiles& fs, std::wstring path) : fs_(fs), path_(std::move(path)) { fs_.held_folders_.insert(path_); }
  ~Folder() override { fs_.held_folders_.erase(fs_.held_folders_.find(path_)); }
  const std::wstring& path() const override { return path_; }

  std::unique_ptr<install::File> Open(const Name& name, const install::OpenKind& kind) override {
    const Mode mode(kind);
    if (kind.Creates()) {
      fs_.Write(mode.delete_on_close ? "lock" : "create", name);
      return Create(name, mode);
    }
    if (fs_.opening) fs_.opening(fs_, kind.what, name.path());
    const install::FileStatus status = fs_.Status(name);
    if (!status.exists) return nullptr;
    if (mode.data()) {
      fs_.CheckHeld(name.path(), name);
      fs_.CheckOpen(name, mode);
    }
    if (mode.write && (status.read_only || status.directory)) throw name.Error(common::kErrorAccessDenied);
    return std::make_unique<Handle>(fs_, name, status, mode);
  }
  std::vector<std::wstring> List() override {
    std::vector<std::wstring> names;
    auto add = [&](std::wstring path) {
      if (path.compare(0, path_.size(), path_) != 0 || path.size() == path_.size()) return;
      if (path.back() == L'\\') path.pop_back();
      const std::wstring name = path.substr(path_.size());
      if (name.find(L'\\') == std::wstring::npos) names.push_back(name);
    };
    for (const auto& file : fs_.files) add(file.first);
    for (const std::wstring& folder : fs_.folders) add(folder);
    for (const std::wstring& link : fs_.links) add(link);
    return names;
  }
  void FlushEntries() override {
    fs_.Write("flush-folder", path_, common::MakeError(common::kErrorDiskFull, path_));
    auto& entries = fs_.entries_;
    entries.erase(std::remove_if(entries.begin(), entries.end(),
                                 [&](const Entry& entry) { return entry.path.compare(0, path_.size(), path_) == 0; }),
                  entries.end());
  }
  install::VolumeFacts Volume() override { return {fs_.hard_links, fs_.available, 4096, L"C:\\"}; }
  bool IsSameFolder(const install::Directory& other) const override { return other.path() == path_; }
  std::unique_ptr<install::Directory> OpenFolder(const Name& name, bool) override {
    const std::wstring path = name.path() + L"\\";
    if (fs_.unreadable.count(path)) throw name.Error(fs_.unreadable.at(path));
    if (fs_.links.count(name.path()) || fs_.links.count(path)) {
      throw name.Error(common::kErrorCantAccessFile, common::Cause::kLinkElsewhere);
    }
    return fs_.IsFolder(path) ? std::make_unique<Folder>(fs_, path) : nullptr;
  }
  std::wstring WhereItLies() override {
    for (const auto& [spelling, real] : fs_.spellings) {
      if (path_.compare(0, spelling.size(), spelling) == 0) return real + path_.substr(spelling.size());
    }
    return path_;
  }

 private:
  std::unique_ptr<install::File> Create(const Name& name, Mode mode) {
    if (fs_.Exists(name.path())) throw name.Error(common::kErrorFileExists);
    fs_.files[name.path()] = std::make_shared<std::string>();
    fs_.Entered(true, name.path(), fs_.files.at(name.path()));
    fs_.attributes_[name.path()] = install::attributes::kArchive;
    fs_.unflushed_.insert(name.path());
    install::FileStatus status;
    status.exists = true;
    return std::make_unique<Handle>(fs_, name, status, mode);
  }

  FakeFiles& fs_;
  std::wstring path_;
};

std::unique_ptr<install::Directory> FakeFiles::PinFolder(const std::wstring& folder, bool must_be_itself) {
  if (must_be_itself && links.count(folder)) {
    throw common::MakeError(common::kErrorCantAccessFile, folder, common::Cause::kLinkElsewhere);
  }
  if (unreadable.count(folder)) throw common::MakeError(unreadable.at(folder), folder);
  if (!IsFolder(folder)) throw common::MakeError(common::kErrorPathNotFound, folder);
  return std::make_unique<Folder>(*this, folder);
}

bool FakeFiles::IsFolder(const std::wstring& path) const {
  const auto in = folders.lower_bound(path);
  return in != folders.end() && in->compare(0, path.size(), path) == 0;
}

bool FakeFiles::SwapForLink(const std::wstring& folder) {
  auto inside = [&](const std::wstring& path) { return path.compare(0, folder.size(), folder) == 0; };
  if (std::any_of(held_folders_.begin(), held_folders_.end(), inside)) return false;
  if (std::any_of(open_.begin(), open_.end(), [&](const auto& open) { return inside(open.first); })) return false;
  links.insert(folder);
  return true;
}

bool FakeFiles::SwapByRename(const std::wstring& path, const std::string& bytes) {
  for (auto it = open_.lower_bound(path); it != open_.upper_bound(path); ++it) {
    if (it->second->mode().data() && !it->second->mode().share_delete) return false;
  }
  files[path] = std::make_shared<std::string>(bytes);
  return true;
}

void FakeFiles::LetGo() {
  game_holds.clear();
  for (const std::wstring& path : pending_) {
    files.erase(path);
    attributes_.erase(path);
  }
  pending_.clear();
}

std::map<std::wstring, std::string> FakeFiles::Contents(const std::wstring& folder) const {
  std::map<std::wstring, std::string> contents;
  for (const auto& [path, bytes] : files) {
    if (path.compare(0, folder.size(), folder) == 0) contents[path.substr(folder.size())] = *bytes;
  }
  return contents;
}

install::FileStatus FakeFiles::Status(const Name& name) {
  const std::wstring& path = name.path();
  if (unreadable.count(path)) throw name.Error(unreadable.at(path));
  if (links.count(path)) throw name.Error(common::kErrorCantAccessFile, common::Cause::kLinkElsewhere);
  // Windows refuses to open a name whose deletion waits for another program's handle.
  if (pending_.count(path) && !pending_opens) throw name.Error(common::kErrorDeletePending);
  install::FileStatus status;
  if (folders.count(path)) {
    status.exists = status.directory = true;
    status.attributes = 0x10;
  } else if (files.count(path)) {
    const std::shared_ptr<std::string>& file = files.at(path);
    status.exists = true;
    status.size = file->size();
    // FAT counts no names: two entries left on one file by a torn rename are two files to it,
    // each with an id of its own, which a rename changes.
    status.names = fat ? 1
                       : static_cast<std::uint32_t>(std::count_if(files.begin(), files.end(),
                                                                  [&](const auto& other) { return other.second == file; }));
    status.read_only = std::any_of(read_only.begin(), read_only.end(), [&](const std::wstring& other) {
      return files.count(other) && files.at(other) == file;
    });
    const auto stamp = stamped_.find(file.get());
    status.write_time = stamp != stamped_.end() ? stamp->second : std::hash<std::string>{}(*file);
    status.attributes = AttributesOf(path) | (status.read_only ? install::attributes::kReadOnly : 0);
    status.id = !ids ? 0 : fat ? IdOf(path) ^ std::hash<std::wstring>{}(path) : IdOf(path);
  }
  return status;
}

std::uint32_t FakeFiles::AttributesOf(const std::wstring& path) const {
  for (const auto& [name, attributes] : attributes_) {
    if (files.count(name) && files.at(name) == files.at(path)) return attributes;
  }
  return install::attributes::kHidden | install::attributes::kArchive;
}

bool FakeFiles::HeldByGame(const std::wstring& path) const {
  return std::any_of(game_holds.begin(), game_holds.end(), [&](const std::wstring& held) {
    return files.count(held) && files.count(path) && files.at(held) == files.at(path);
  });
}

// An open that asks for data meets every other open of ours of the name: each must let the
// other do what it asks.
void FakeFiles::CheckOpen(const Name& name, const Mode& mode) {
  for (auto it = open_.lower_bound(name.path()); it != open_.upper_bound(name.path()); ++it) {
    const Mode& other = it->second->mode();
    if (!other.data()) continue;
    const bool refused = (mode.read && !other.share_read) || (mode.write && !other.share_write) ||
                         (mode.del && !other.share_delete) || (other.read && !mode.share_read) ||
                         (other.write && !mode.share_write) || (other.del && !mode.share_delete);
    if (refused) throw name.Error(common::kErrorSharingViolation);
  }
}

void FakeFiles::CheckHeld(const std::wstring& path, const Name& reported) {
  auto it = held.find(path);
  if (it == held.end() || it->second == 0) return;
  if (it->second > 0) --it->second;
  throw reported.Error(common::kErrorSharingViolation);
}

void FakeFiles::Write(const std::string& kind, const Name& name, const std::function<void()>& cut_inside) {
  Write(kind, name.path(), name.Error(common::kErrorDiskFull), cut_inside);
}

void FakeFiles::Write(const std::string& kind, const std::wstring& path, const common::SetupError& failure,
                      const std::function<void()>& cut_inside) {
  if (killed_) throw Killed{};
  if (meddle) meddle(*this, std::wstring(kind.begin(), kind.end()) + L" " + path);
  if (++writes_ == kill_at) {
    killed_ = true;
    if (power_cut) {
      if (cut_inside) cut_inside();
      CutPower();
    }
    throw Killed{};
  }
  if (++calls_[kind] == fail_at[kind]) throw failure;
  log.push_back(std::wstring(kind.begin(), kind.end()) + L" " + path);
}

void FakeFiles::Entered(bool made, const std::wstring& path, std::shared_ptr<std::string> file) {
  if (fat) entries_.push_back(Entry{made, path, std::move(file)});
}

// What was not flushed is lost, all of it, or where a seed is given, what it draws: each such
// file keeps everything written to it or loses it all, and on FAT each folder entry made or
// removed since its folder's last flush is dropped, whatever came after it.
void FakeFiles::CutPower() {
  cut_ = true;
  std::mt19937 draw(cut_seed.value_or(0));
  for (const std::wstring& lost : unflushed_) {
    if (cut_seed && draw() % 2 == 0) continue;
    if (files.count(lost)) files[lost] = std::make_shared<std::string>();
  }
  unflushed_.clear();
  for (auto entry = entries_.rbegin(); entry != entries_.rend(); ++entry) {
    if (cut_seed && draw() % 2 == 0) continue;
    const auto now = files.find(entry->path);
    if (entry->made && now != files.end() && now->second == entry->file) {
      files.erase(now);  // a file renamed since keeps its new entry
    } else if (!entry->made && !Exists(entry->path)) {
      files[entry->path] = entry->file;
    }
  }
  entries_.clear();
}

}  // namespace fake
