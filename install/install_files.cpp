#include "install/install_files.h"

namespace install {

Name::Name(std::wstring name, std::wstring path, std::wstring reported)
    : name_(std::move(name)), path_(std::move(path)), reported_(std::move(reported)) {
  // One name in the folder, never a way out of it.
  if (name_.empty() || name_.find_first_of(L"\\/:") != std::wstring::npos || name_ == L"." || name_ == L"..") {
    throw common::MakeError(common::kErrorInternal, path_, common::Cause::kUnexpected);
  }
}

bool IsInTheWay(common::Cause cause) {
  return cause == common::Cause::kLinkElsewhere || cause == common::Cause::kUnknownReparse ||
         cause == common::Cause::kFolderAtOwnName;
}

common::SetupError Name::Error(std::uint32_t number, common::Cause cause) const {
  return common::MakeError(number, IsInTheWay(cause) ? path_ : reported_, cause);
}

Name Folder::Own(std::wstring name) const {
  std::wstring path = this->path() + name;
  return Name(std::move(name), path, path);
}

Name Folder::Spare(std::wstring name, const std::wstring& destination) const {
  std::wstring path = this->path() + name;
  return Name(std::move(name), std::move(path), this->path() + destination);
}

Name Folder::Record(std::wstring name) const {
  std::wstring path = this->path() + name;
  return Name(std::move(name), std::move(path), this->path());
}

}  // namespace install
