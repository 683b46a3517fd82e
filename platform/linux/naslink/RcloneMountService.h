#pragma once
// MountService on Linux: `rclone mount` of rclone's SMB backend over FUSE 3.
//
// A mount first checks the login with a short listing of the share (rclone
// answers "The attempted logon is invalid" for a wrong login: that is
// kMountStatusAuthRejected), then runs
//   rclone mount :smb:<share> <dir> --smb-host H --smb-port P --smb-user U
//         --vfs-cache-mode off --dir-cache-time 0s --attr-timeout 0s ...
// in its own process group and completes when <dir> appears in the mount
// table (or with a status derived from rclone's output when it ends first).
// Without the VFS cache every read goes to the share, which the copier's
// read-back relies on; listings (--dir-cache-time 0s) come from the share too,
// so that a health probe and the engine's share checks see a dead share, and
// the kernel caches no attributes (--attr-timeout 0s), so that a stat shows
// what rclone knows at that moment.
//
// Two behaviours of this mount (rclone 1.60) that writers must allow for, as
// the resource copier does:
//   - a folder listing taken while a file is being uploaded (every lookup in
//     the folder lists it) can land just after the upload has finished and
//     leave the file at its size of that moment: a stat then reports that
//     size and a read ends there, until the folder is listed again;
//   - a file just closed can still be open on the server for a moment (FUSE
//     releases files after close(2) has returned), and the server refuses to
//     rename or delete an open file: the rename fails with EIO.
// No mount option changes either (a longer directory cache only makes the
// first rarer, and would hide a dead share from the listings).
//
// The password never appears on a command line or in a log: it is handed to
// `rclone obscure -` on standard input and passed, obscured, in the
// environment variable RCLONE_SMB_PASS. rclone runs with RCLONE_CONFIG set to
// /dev/null so that the user's own rclone remotes play no part.
//
// The request id names the rclone processes of one attempt: `cancel` ends
// them and undoes a mount that already appeared. `unmount(force)` detaches
// with umount2(MNT_FORCE | MNT_DETACH), falling back to `fusermount3 -uz`
// without the privilege, and then ends the rclone process serving that path.
// The mount table is /proc/self/mountinfo. Thread-safe.
#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "naslink/MountService.h"

namespace kv {

class RcloneMountService final : public MountService {
 public:
  struct Options {
    std::filesystem::path rclone = "/usr/bin/rclone";
    std::filesystem::path fusermount = "/usr/bin/fusermount3";
    // Bound on the obscuring and the login check (each).
    std::chrono::milliseconds checkTimeout{30000};
    // How often the mount table is read while a mount comes up.
    std::chrono::milliseconds pollInterval{100};
  };

  RcloneMountService();
  explicit RcloneMountService(Options options);
  ~RcloneMountService() override;

  int mountAsync(const SMBURL& url, const std::filesystem::path& mountPoint, const std::string& user,
                 const std::string& password, Completion completion, RequestID& requestID) override;
  void cancel(RequestID requestID) override;
  std::vector<std::string> mountTable() override;
  int unmount(const std::string& path, bool force) override;
  bool listDirectory(const std::string& path) override;

  // The mount-on paths of a mountinfo text (octal escapes such as \040
  // decoded). Exposed for tests.
  static std::vector<std::string> parseMountInfo(const std::string& text);
  // The status for rclone's output when a check or a mount failed.
  static int statusForOutput(const std::string& output);

  struct Shared;

 private:
  std::shared_ptr<Shared> s_;
};

}  // namespace kv
