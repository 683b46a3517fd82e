#include "tests/support/naslink/FakeMountService.h"

#include <algorithm>

#include "naslink/MountStatus.h"

namespace kv::test {

int FakeMountService::mountAsync(const SMBURL& url, const std::filesystem::path& mountPoint, const std::string& user,
                                 const std::string& password, Completion completion, RequestID& requestID) {
  std::optional<int> now;
  {
    std::lock_guard lk(mu_);
    if (startStatus != 0) return startStatus;
    requestID = nextID_++;
    calls_.push_back({url, mountPoint.string(), user, password, requestID});
    now = answer;
    if (now && *now == 0) table_.push_back(mountPoint.string());
    if (!now) {
      held_ = std::move(completion);
      heldPoint_ = mountPoint.string();
    }
  }
  if (now) completion(*now);
  return 0;
}

bool FakeMountService::complete(int status) {
  std::optional<Completion> c;
  {
    std::lock_guard lk(mu_);
    c.swap(held_);
    if (c && status == 0) table_.push_back(heldPoint_);
  }
  if (!c) return false;
  (*c)(status);
  return true;
}

void FakeMountService::cancel(RequestID requestID) {
  std::optional<Completion> c;
  {
    std::lock_guard lk(mu_);
    cancelled_.push_back(requestID);
    if (cancelCompletes && !calls_.empty() && calls_.back().id == requestID) c.swap(held_);
  }
  if (c) (*c)(kMountStatusCancelled);
}

std::vector<std::string> FakeMountService::mountTable() {
  std::lock_guard lk(mu_);
  return table_;
}

int FakeMountService::unmount(const std::string& path, bool force) {
  std::lock_guard lk(mu_);
  unmounts_.emplace_back(path, force);
  auto it = std::find(table_.begin(), table_.end(), path);
  if (it == table_.end()) return EINVAL;
  table_.erase(it);
  return 0;
}

bool FakeMountService::listDirectory(const std::string& path) {
  std::unique_lock lk(mu_);
  ++listings_;
  listingCv_.wait(lk, [this] { return !hang_; });
  return listingSucceeds;
}

void FakeMountService::addMount(const std::string& path) {
  std::lock_guard lk(mu_);
  table_.push_back(path);
}

void FakeMountService::hangListings() {
  std::lock_guard lk(mu_);
  hang_ = true;
}

void FakeMountService::releaseListings() {
  {
    std::lock_guard lk(mu_);
    hang_ = false;
  }
  listingCv_.notify_all();
}

std::vector<FakeMountService::MountCall> FakeMountService::mountCalls() const {
  std::lock_guard lk(mu_);
  return calls_;
}
std::vector<MountService::RequestID> FakeMountService::cancelled() const {
  std::lock_guard lk(mu_);
  return cancelled_;
}
std::vector<std::pair<std::string, bool>> FakeMountService::unmounts() const {
  std::lock_guard lk(mu_);
  return unmounts_;
}
std::size_t FakeMountService::listings() const {
  std::lock_guard lk(mu_);
  return listings_;
}

}  // namespace kv::test
