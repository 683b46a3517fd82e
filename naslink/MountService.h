#pragma once
// The platform's service that mounts SMB shares, and its mount table.
//
// The share mounter (NetFSShareMounter) drives it; Linux runs rclone's SMB
// backend over FUSE 3 (platform/linux/naslink), tests use a fake with
// switches (tests/support/naslink).
//
// Status values are POSIX error numbers (0 is success); the ones with a
// meaning of their own are in MountStatus.h. All operations are safe to call
// from any thread. `mountAsync`, `cancel` and `mountTable` never block for
// long; `unmount` and `listDirectory` may block on a hung file system, so
// callers run them on a background thread.
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace kv {

// smb://<host>:<port>/<share>
struct SMBURL {
  std::string host;
  std::uint16_t port = 0;
  std::string share;

  // The URL text, with the share percent-encoded where needed.
  std::string text() const;
  bool operator==(const SMBURL&) const = default;
};

class MountService {
 public:
  using RequestID = std::uint64_t;
  using Completion = std::function<void(int status)>;

  virtual ~MountService() = default;

  // Starts mounting `url` exactly at `mountPoint` (an existing empty
  // directory) with only the given login: no prompts, no stored or guest
  // credentials, loopback hosts allowed. Returns 0 and sets `requestID`, after
  // which `completion` is called exactly once, from any thread, with the
  // final status (kMountStatusAuthRejected for a rejected login). A non-zero
  // return means nothing was started and `completion` is never called.
  virtual int mountAsync(const SMBURL& url, const std::filesystem::path& mountPoint, const std::string& user,
                         const std::string& password, Completion completion, RequestID& requestID) = 0;
  // Abandons a request: the completion follows soon (kMountStatusCancelled
  // unless it had already been decided) and nothing stays mounted by it.
  // Unknown or finished requests are ignored.
  virtual void cancel(RequestID requestID) = 0;
  // The mount-on paths of every current mount, read without blocking on
  // unresponsive file systems. Empty when the table cannot be read.
  virtual std::vector<std::string> mountTable() = 0;
  // Unmounts `path`, forcibly (even when busy or hung) when `force`. Returns 0
  // or an error number.
  virtual int unmount(const std::string& path, bool force) = 0;
  // Lists `path`; true when the listing succeeded.
  virtual bool listDirectory(const std::string& path) = 0;
};

}  // namespace kv
