// The virtual channel, reached through the terminal-services library loaded for each write.
#include <string>

#include "platform/win32/Win32Platform.h"
#include "platform/win32/WindowsApi.h"

namespace qbnotify::win32 {
namespace {

using ChannelOpen = HANDLE(WINAPI*)(HANDLE server, DWORD sessionId, LPSTR channelName);
using ChannelWrite = BOOL(WINAPI*)(HANDLE channel, PCHAR buffer, ULONG length, PULONG written);
using ChannelClose = BOOL(WINAPI*)(HANDLE channel);

// Closes an open channel.
class OpenChannel {
 public:
  OpenChannel(ChannelClose close, HANDLE channel) : close_(close), channel_(channel) {}
  ~OpenChannel() {
    if (channel_) close_(channel_);
  }
  OpenChannel(const OpenChannel&) = delete;
  OpenChannel& operator=(const OpenChannel&) = delete;

  HANDLE Get() const { return channel_; }

 private:
  ChannelClose close_;
  HANDLE channel_;
};

}  // namespace

bool Win32Platform::WriteVirtualChannel(std::string_view channelName, std::string_view bytes) {
  // Declared first, so that the channel is closed before the library is released.
  LoadedModule library(win32::ModuleFolderFile(nullptr, "WTSApi32.dll"));
  if (!library) return false;
  const auto close = library.Lookup<ChannelClose>("WTSVirtualChannelClose");
  const auto open = library.Lookup<ChannelOpen>("WTSVirtualChannelOpen");
  if (!close || !open) return false;

  std::string name(channelName);
  OpenChannel channel(close, open(WTS_CURRENT_SERVER_HANDLE, WTS_CURRENT_SESSION, name.data()));
  // A channel that did not open has nothing to write to and nothing to close.
  if (!channel.Get()) return false;

  const auto write = library.Lookup<ChannelWrite>("WTSVirtualChannelWrite");
  if (!write) return false;

  // One write of the whole message: a channel that takes only part of it has not sent it.
  if (bytes.size() > 0xFFFFFFFFu) return false;
  std::string text(bytes);
  ULONG written = 0;
  return write(channel.Get(), text.data(), static_cast<ULONG>(text.size()), &written) != FALSE &&
         written == text.size();
}

}  // namespace qbnotify::win32
