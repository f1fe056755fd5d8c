// What Windows documents, and what this rests on:
// - FlushFileBuffers needs a handle with GENERIC_WRITE; on a volume handle
//   it flushes every file of the volume, and only an administrator may open
//   one.
// - The flush it sends (NtFlushBuffersFileEx without flags) writes a file's
//   data and metadata from the cache and has the device flush its own cache,
//   on NTFS, ReFS, FAT and exFAT. A folder's handle is flushed like any
//   other (only the data-only flag is "not valid with volume or directory
//   handles"); it needs write or append access, which for a folder is leave
//   to add files or folders: GENERIC_WRITE with FILE_FLAG_BACKUP_SEMANTICS
//   asks both, and either alone is tried where both are refused. The FAT
//   driver, whose source Microsoft publishes, writes the folder's entries
//   and the allocation table for such a flush.
// - Wine fsyncs the host folder for such a flush, so there it is real too;
//   a volume handle it opens, but its flush writes nothing and fails.
#include "platform/win32/flush.h"

#include <algorithm>
#include <chrono>
#include <future>
#include <thread>
#include <vector>

#include "platform/win32/handle.h"
#include "platform/win32/support.h"
#include "platform/win32/text.h"

namespace fernwise::win32 {

namespace {

constexpr DWORD kShareAll =
    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

DWORD FlushHandle(HANDLE handle) {
  return FlushFileBuffers(handle) ? 0 : GetLastError();
}

// `folder`'s volume as a device path without the trailing "\" (the form
// CreateFileW opens a volume by), or "" with the error in `error`.
std::wstring VolumeDevice(const std::wstring& path, DWORD& error) {
  std::vector<wchar_t> mount(path.size() + 2);
  wchar_t volume[MAX_PATH] = {};
  if (!GetVolumePathNameW(path.c_str(), mount.data(), DWORD(mount.size())) ||
      !GetVolumeNameForVolumeMountPointW(mount.data(), volume, MAX_PATH)) {
    error = GetLastError();
    return L"";
  }
  std::wstring device = volume;
  if (!device.empty() && device.back() == L'\\') device.pop_back();
  return device;
}

}  // namespace

DWORD FlushAnswering(const std::function<DWORD()>& flush,
                     const ProgressCallback& progress,
                     const std::atomic<int64_t>* done, int64_t total) {
  if (!progress) return flush();
  std::packaged_task<DWORD()> task(flush);
  std::future<DWORD> result = task.get_future();
  std::thread helper(std::move(task));
  const auto tick = std::chrono::milliseconds(kFlushTickMs);
  bool told = false;
  for (; result.wait_for(tick) != std::future_status::ready; told = true) {
    if (done != nullptr && total > 0)
      progress(std::min(done->load(), total - 1), total);
    else
      progress(0, -1);
  }
  helper.join();
  if (told) progress(1, 1);  // the step is over
  return result.get();
}

DWORD FlushFolder(const std::wstring& path) {
  // Leave to add either kind of entry is enough where both are not given.
  constexpr DWORD kAccesses[] = {GENERIC_WRITE, FILE_ADD_FILE | SYNCHRONIZE,
                                 FILE_ADD_SUBDIRECTORY | SYNCHRONIZE};
  DWORD error = 0;
  for (const DWORD access : kAccesses) {
    const FileHandle handle(CreateFileW(path.c_str(), access, kShareAll,
                                        nullptr, OPEN_EXISTING,
                                        FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (handle.valid()) return FlushHandle(handle.get());
    error = GetLastError();
    if (error != ERROR_ACCESS_DENIED) break;
  }
  return IsNotFound(error) ? 0 : error;
}

DWORD FlushVolume(const std::wstring& folder) {
  DWORD error = 0;
  const std::wstring device = VolumeDevice(folder, error);
  if (device.empty()) return error;
  const FileHandle volume(CreateFileW(device.c_str(), GENERIC_WRITE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE,
                                      nullptr, OPEN_EXISTING, 0, nullptr));
  if (!volume.valid()) return GetLastError();
  return FlushHandle(volume.get());
}

bool FlushUnsupported(DWORD error) {
  return error == ERROR_INVALID_FUNCTION || error == ERROR_NOT_SUPPORTED ||
         error == ERROR_INVALID_PARAMETER;
}

}  // namespace fernwise::win32
