#pragma once
// A keychain kept in a private folder, for machines where no Secret Service
// answers (and for tests): one store file "items.json" in a folder of mode
// 0700, the file itself 0600, replaced atomically (written beside, synced,
// renamed). Item data are kept hex-encoded; the file is not encrypted, so its
// protection is the folder's and the file's mode.
//
// A store file that cannot be read back (damaged, not ours) makes lookups
// fail with kKeychainDecode; it is never silently discarded by a read. The
// next write (update, add, remove) moves it aside as "items.json.damaged" and
// starts an empty store, so that signing in again recovers.
//
// Safe for concurrent use by threads of one process; writers of several
// processes are serialised by an advisory lock on the folder's ".lock" file.
#include <filesystem>
#include <mutex>

#include "identity/KeychainService.h"

namespace kv {

class FileKeychain final : public KeychainService {
 public:
  explicit FileKeychain(std::filesystem::path folder);

  // $XDG_DATA_HOME/Kelvane/keychain (XDG_DATA_HOME defaults to ~/.local/share).
  static std::filesystem::path defaultFolder();

  KeychainStatus findOne(const KeychainQuery& query, KeychainMatch& out) override;
  KeychainStatus update(const KeychainQuery& query, std::string_view data) override;
  KeychainStatus add(const KeychainQuery& query, const KeychainAttributes& extra, std::string_view data) override;
  KeychainStatus remove(const KeychainQuery& query) override;
  std::optional<std::string> message(KeychainStatus status) const override;

  const std::filesystem::path& storeFile() const { return file_; }

 private:
  struct Item;
  struct Store;
  template <class F>
  KeychainStatus withStore(bool writing, F&& body);

  std::filesystem::path folder_;
  std::filesystem::path file_;
  std::mutex mu_;
};

}  // namespace kv
