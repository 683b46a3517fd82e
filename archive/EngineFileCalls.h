#pragma once
// File-system calls the archive engine makes on the share, shared by the sync
// and the verification. Internal to archive/.
#include <sys/stat.h>

#include <filesystem>
#include <optional>

#include "core/async/Async.h"

namespace kv::engine_detail {

// Runs a blocking call on `fileExecutor` when there is one, inline otherwise.
template <class F>
auto blocking(const std::optional<Executor>& fileExecutor, F f) -> Async<decltype(f())> {
  using R = decltype(f());
  if (!fileExecutor) co_return f();
  co_return co_await asio::co_spawn(
      *fileExecutor, [f = std::move(f)]() mutable -> Async<R> { co_return f(); }, asio::use_awaitable);
}

inline bool isFolder(const std::filesystem::path& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace kv::engine_detail
