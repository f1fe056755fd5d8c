// Writing through to the disk without freezing the window. A flush onto a
// USB disk can take minutes (a multi-GB copy, a drive's worth of changed
// folders); the window's thread must keep handling its messages meanwhile,
// or Windows marks it "Not Responding" and a user who closes it ends the
// backup past the window's own close guard. So every flush runs on a helper
// thread while the calling thread reports to the run's progress callback,
// which lets the window answer.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

#include "core/file_system.h"

namespace fernwise::win32 {

/// How often the calling thread reports while a flush goes on.
inline constexpr DWORD kFlushTickMs = 30;

/// Runs `flush`, which returns 0 or a GetLastError() value, on a helper
/// thread, and on this thread calls `progress` every kFlushTickMs until it
/// returns: with `*done` of `total` where `done` is given, else with an
/// unknown total; then, where it told any, once with the step over (a
/// flush done at once, as most are, costs the window nothing). Returns
/// flush's result.
/// Without a callback, `flush` runs on this thread.
DWORD FlushAnswering(const std::function<DWORD()>& flush,
                     const ProgressCallback& progress,
                     const std::atomic<int64_t>* done = nullptr,
                     int64_t total = -1);

/// Flushes the entries (names made, renamed or removed, their times and
/// attributes) of the folder at `folder`, as the ...W calls take it, to the
/// disk: 0, or a GetLastError() value. A folder that is gone counts as
/// flushed: its removal changed the folder above it, which is flushed too.
DWORD FlushFolder(const std::wstring& folder);

/// Flushes every file on the volume holding `folder` through a handle to
/// the volume, which Windows grants to administrators alone: 0, or a
/// GetLastError() value.
DWORD FlushVolume(const std::wstring& folder);

/// Whether `error` says the file system offers no flush of a folder (a
/// network share whose server has none): then none can be asked of it.
bool FlushUnsupported(DWORD error);

}  // namespace fernwise::win32
