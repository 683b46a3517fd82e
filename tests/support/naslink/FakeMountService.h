#pragma once
// A mounting service in memory, with switches.
//
// Mounts "succeed" by entering the mount point into an in-memory mount table
// (the directory itself is left as it is, so tests can put files in it).
// How a mount call answers is chosen per test:
//   - `startStatus`: a non-zero value is returned by mountAsync itself;
//   - `answer`: complete inside mountAsync with this status (before the
//     caller waits), or, when unset, hold the completion until the test calls
//     `complete`;
//   - `cancelCompletes`: whether `cancel` calls the held completion with
//     ECANCELED (as the real service does).
// Listings succeed unless `listingSucceeds` is false, or hang while
// `hangListings` is set (until `releaseListings`). Thread-safe.
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "naslink/MountService.h"

namespace kv::test {

class FakeMountService final : public MountService {
 public:
  struct MountCall {
    SMBURL url;
    std::string mountPoint;
    std::string user;
    std::string password;
    RequestID id = 0;
  };

  // Switches (set before the calls they affect).
  int startStatus = 0;
  std::optional<int> answer;
  bool cancelCompletes = true;
  bool listingSucceeds = true;

  int mountAsync(const SMBURL& url, const std::filesystem::path& mountPoint, const std::string& user,
                 const std::string& password, Completion completion, RequestID& requestID) override;
  void cancel(RequestID requestID) override;
  std::vector<std::string> mountTable() override;
  int unmount(const std::string& path, bool force) override;
  bool listDirectory(const std::string& path) override;

  // Calls the held completion of the last mount call (a success also mounts).
  // False when nothing is held.
  bool complete(int status);
  void addMount(const std::string& path);
  void hangListings();
  void releaseListings();

  std::vector<MountCall> mountCalls() const;
  std::vector<RequestID> cancelled() const;
  std::vector<std::pair<std::string, bool>> unmounts() const;
  std::size_t listings() const;

 private:
  mutable std::mutex mu_;
  std::condition_variable listingCv_;
  bool hang_ = false;
  RequestID nextID_ = 100;
  std::vector<MountCall> calls_;
  std::optional<Completion> held_;
  std::string heldPoint_;
  std::vector<std::string> table_;
  std::vector<RequestID> cancelled_;
  std::vector<std::pair<std::string, bool>> unmounts_;
  std::size_t listings_ = 0;
};

}  // namespace kv::test
