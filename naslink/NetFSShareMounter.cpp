#include "naslink/NetFSShareMounter.h"

#include <algorithm>
#include <system_error>

#include "core/async/Deadline.h"
#include "core/async/Task.h"
#include "naslink/BackgroundCall.h"
#include "naslink/MountRequest.h"
#include "naslink/MountStatus.h"
#include "naslink/NASLinkError.h"

namespace kv {

NetFSShareMounter::NetFSShareMounter(std::shared_ptr<MountService> service, std::shared_ptr<Clock> clock,
                                     std::filesystem::path mountsRoot)
    : service_(std::move(service)), clock_(std::move(clock)), mountsRoot_(std::move(mountsRoot)) {}

std::filesystem::path NetFSShareMounter::defaultMountsRoot(const std::filesystem::path& home) {
  return home / ".kelvane" / "mounts";
}

std::filesystem::path NetFSShareMounter::mountPoint(const NASConfig& config) const {
  return mountsRoot_ / config.smbShare;
}

std::vector<std::string> NetFSShareMounter::mountedPaths() const { return service_->mountTable(); }

std::vector<std::string> NetFSShareMounter::pathsUnderRoot() const {
  std::string prefix = mountsRoot_.string();
  while (prefix.size() > 1 && prefix.back() == '/') prefix.pop_back();
  prefix += '/';
  std::vector<std::string> under;
  for (auto& p : mountedPaths()) {
    if (p.size() > prefix.size() && p.compare(0, prefix.size(), prefix) == 0) under.push_back(p);
  }
  return under;
}

Async<std::filesystem::path> NetFSShareMounter::mount(NASConfig config, NASCredentials credentials) {
  const std::filesystem::path point = mountPoint(config);
  const auto table = mountedPaths();
  if (std::find(table.begin(), table.end(), point.string()) != table.end()) co_return point;

  std::error_code ec;
  std::filesystem::create_directories(point, ec);
  if (ec) throw NASLinkError::mountFailed(-1, "cannot create mount point: " + ec.message());

  auto request = std::make_shared<MountRequest>();
  auto service = service_;
  auto ex = co_await asio::this_coro::executor;

  auto watchdog = Task<void>::spawn(ex, [request, service, clock = clock_]() -> Async<void> {
    try {
      co_await clock->sleep(kMountTimeout);
    } catch (...) {
      co_return;  // the mount ended first
    }
    if (auto id = request->finish(kMountStatusTimedOut, true)) service->cancel(*id);
  });

  SMBURL url{"localhost", config.localPort, config.smbShare};
  MountService::RequestID id = 0;
  const int started = service->mountAsync(
      url, point, credentials.username, credentials.password,
      [request](int status) { request->finish(status, false); }, id);
  if (started != 0) {
    request->finish(started, false);
  } else if (request->setRequestID(id)) {
    // The watchdog or a cancellation got there before the id was known.
    service->cancel(id);
  }

  const int status = co_await request->wait([service](MountService::RequestID rid) { service->cancel(rid); });
  watchdog.cancel();

  if (status == 0) co_return point;
  if (status == kMountStatusAuthRejected) throw NASLinkError::authenticationRejected();
  throw NASLinkError::mountFailed(status, std::generic_category().message(status));
}

Async<void> NetFSShareMounter::unmount() {
  auto paths = pathsUnderRoot();
  if (paths.empty()) co_return;
  co_await onBackgroundThread([service = service_, paths] {
    for (auto& p : paths) service->unmount(p, true);
  });
}

Async<bool> NetFSShareMounter::isHealthy(Seconds timeout) {
  auto paths = pathsUnderRoot();
  if (paths.empty()) co_return false;
  co_return co_await withDeadline<bool>(clock_, timeout, false,
                                        [service = service_, path = paths.front()]() -> Async<bool> {
                                          co_return co_await onBackgroundThread(
                                              [service, path] { return service->listDirectory(path); });
                                        });
}

}  // namespace kv
