// The Windows tools use the hosted platform only to describe a session to the library's
// checks (explain, lint); none of them keeps rows on disk through it. Its file operations
// answer that the files cannot be reached, so that nothing is written by mistake.
#include "platform/win32/WindowsApi.h"

#include "platform/hosted/HostedPlatform.h"

namespace qbnotify::hosted {

FileResult HostedPlatform::MakePrivateDirectory(std::string_view) { return FileResult::Failed; }
FileResult HostedPlatform::WriteFileDurably(std::string_view, std::string_view, bool) { return FileResult::Failed; }
FileResult HostedPlatform::FlushRenames(std::string_view) { return FileResult::Failed; }
FileResult HostedPlatform::RenameWithoutReplacing(std::string_view, std::string_view) { return FileResult::Failed; }
DirectoryListing HostedPlatform::ListDirectory(std::string_view) { return {}; }
FileResult HostedPlatform::ListNames(std::string_view, const std::function<bool(std::string_view)>&) {
  return FileResult::Failed;
}
FileContent HostedPlatform::ReadWholeFile(std::string_view, std::size_t) { return {}; }
FileResult HostedPlatform::RemoveFile(std::string_view) { return FileResult::Failed; }
PathInfo HostedPlatform::InspectPath(std::string_view) { return {}; }
PathGuard HostedPlatform::GuardPath(std::string_view path, std::string_view) {
  return PathGuard{false, std::string(path), {}, "cannot be looked at"};
}
FileResult HostedPlatform::NarrowAccess(std::string_view, bool) { return FileResult::Failed; }
ProcessInfo HostedPlatform::QueryProcess(std::uint32_t) { return {}; }
std::uint32_t HostedPlatform::CurrentProcessId() { return static_cast<std::uint32_t>(GetCurrentProcessId()); }
std::uint32_t HostedPlatform::ElapsedMilliseconds() { return static_cast<std::uint32_t>(GetTickCount()); }

}  // namespace qbnotify::hosted
