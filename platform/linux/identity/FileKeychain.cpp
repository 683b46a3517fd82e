#include "platform/linux/identity/FileKeychain.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <vector>

#include <nlohmann/json.hpp>

namespace kv {

namespace fs = std::filesystem;
using nlohmann::json;

struct FileKeychain::Item {
  KeychainItemClass itemClass;
  KeychainAttributes attributes;
  std::string data;
};

struct FileKeychain::Store {
  std::vector<Item> items;
};

namespace {

const char* className(KeychainItemClass c) {
  return c == KeychainItemClass::genericPassword ? "genp" : "inet";
}

std::string toHex(std::string_view bytes) {
  static constexpr char digits[] = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (unsigned char c : bytes) {
    out.push_back(digits[c >> 4]);
    out.push_back(digits[c & 0xF]);
  }
  return out;
}

bool fromHex(const std::string& hex, std::string& out) {
  if (hex.size() % 2) return false;
  auto value = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
  };
  out.clear();
  for (std::size_t i = 0; i < hex.size(); i += 2) {
    int hi = value(hex[i]), lo = value(hex[i + 1]);
    if (hi < 0 || lo < 0) return false;
    out.push_back(static_cast<char>(hi * 16 + lo));
  }
  return true;
}

bool matches(const KeychainAttributes& attributes, KeychainItemClass itemClass, const KeychainQuery& query,
             KeychainItemClass queryClass) {
  if (itemClass != queryClass) return false;
  for (const auto& [key, value] : query.attributes) {
    auto it = attributes.find(key);
    if (it == attributes.end() || it->second != value) return false;
  }
  return true;
}

// Reads the store; kKeychainSuccess, kKeychainIO or kKeychainDecode.
template <class Store, class Item>
KeychainStatus readStore(const fs::path& file, Store& store) {
  std::ifstream in(file, std::ios::binary);
  if (!in) {
    if (errno == ENOENT || !fs::exists(file)) return kKeychainSuccess;  // empty store
    return kKeychainIO;
  }
  std::stringstream buffer;
  buffer << in.rdbuf();
  if (in.bad()) return kKeychainIO;
  json doc = json::parse(buffer.str(), nullptr, /*allow_exceptions=*/false);
  if (doc.is_discarded() || !doc.is_object() || !doc.contains("items") || !doc["items"].is_array()) {
    return kKeychainDecode;
  }
  for (const auto& entry : doc["items"]) {
    if (!entry.is_object()) return kKeychainDecode;
    auto cls = entry.find("class");
    auto attrs = entry.find("attributes");
    auto data = entry.find("data");
    if (cls == entry.end() || !cls->is_string() || attrs == entry.end() || !attrs->is_object() ||
        data == entry.end() || !data->is_string()) {
      return kKeychainDecode;
    }
    Item item;
    const auto& c = cls->get_ref<const std::string&>();
    if (c == "genp") item.itemClass = KeychainItemClass::genericPassword;
    else if (c == "inet") item.itemClass = KeychainItemClass::internetPassword;
    else return kKeychainDecode;
    for (auto it = attrs->begin(); it != attrs->end(); ++it) {
      if (!it.value().is_string()) return kKeychainDecode;
      item.attributes.emplace(it.key(), it.value().template get<std::string>());
    }
    if (!fromHex(data->get_ref<const std::string&>(), item.data)) return kKeychainDecode;
    store.items.push_back(std::move(item));
  }
  return kKeychainSuccess;
}

bool writeAll(int fd, const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  return true;
}

void syncFolder(const fs::path& folder) {
  int dfd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd >= 0) {
    ::fsync(dfd);
    ::close(dfd);
  }
}

template <class Store>
KeychainStatus writeStore(const fs::path& folder, const fs::path& file, const Store& store) {
  json items = json::array();
  for (const auto& item : store.items) {
    json attrs = json::object();
    for (const auto& [k, v] : item.attributes) attrs[k] = v;
    items.push_back({{"class", className(item.itemClass)}, {"attributes", attrs}, {"data", toHex(item.data)}});
  }
  std::string text = json{{"version", 1}, {"items", items}}.dump();
  fs::path temp = folder / ("items.json.tmp-" + std::to_string(::getpid()));
  int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return kKeychainIO;
  ::fchmod(fd, 0600);
  bool ok = writeAll(fd, text) && ::fsync(fd) == 0;
  ok = (::close(fd) == 0) && ok;
  if (!ok || ::rename(temp.c_str(), file.c_str()) != 0) {
    ::unlink(temp.c_str());
    return kKeychainIO;
  }
  syncFolder(folder);
  return kKeychainSuccess;
}

}  // namespace

FileKeychain::FileKeychain(fs::path folder) : folder_(std::move(folder)), file_(folder_ / "items.json") {}

fs::path FileKeychain::defaultFolder() {
  fs::path base;
  if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg && *xdg == '/') {
    base = xdg;
  } else if (const char* home = std::getenv("HOME"); home && *home) {
    base = fs::path(home) / ".local" / "share";
  } else {
    base = fs::temp_directory_path();
  }
  return base / "Kelvane" / "keychain";
}

template <class F>
KeychainStatus FileKeychain::withStore(bool writing, F&& body) {
  std::lock_guard lk(mu_);
  std::error_code ec;
  fs::create_directories(folder_, ec);
  if (ec) return kKeychainIO;
  if (::chmod(folder_.c_str(), 0700) != 0) return kKeychainIO;
  int lockfd = ::open((folder_ / ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (lockfd < 0) return kKeychainIO;
  ::flock(lockfd, writing ? LOCK_EX : LOCK_SH);
  Store store;
  KeychainStatus status = readStore<Store, Item>(file_, store);
  if (status == kKeychainDecode && writing) {
    // Keep the damaged file for a person to look at, and start afresh.
    ::rename(file_.c_str(), (folder_ / "items.json.damaged").c_str());
    store = Store{};
    status = kKeychainSuccess;
  }
  if (status == kKeychainSuccess) {
    bool changed = false;
    status = body(store, changed);
    if (writing && changed && (status == kKeychainSuccess)) status = writeStore(folder_, file_, store);
  }
  ::flock(lockfd, LOCK_UN);
  ::close(lockfd);
  return status;
}

KeychainStatus FileKeychain::findOne(const KeychainQuery& query, KeychainMatch& out) {
  return withStore(false, [&](Store& store, bool&) {
    for (const auto& item : store.items) {
      if (matches(item.attributes, item.itemClass, query, query.itemClass)) {
        out.data = item.data;
        out.attributes = item.attributes;
        return kKeychainSuccess;
      }
    }
    return kKeychainItemNotFound;
  });
}

KeychainStatus FileKeychain::update(const KeychainQuery& query, std::string_view data) {
  return withStore(true, [&](Store& store, bool& changed) {
    for (auto& item : store.items) {
      if (matches(item.attributes, item.itemClass, query, query.itemClass)) {
        item.data = std::string(data);
        changed = true;
      }
    }
    return changed ? kKeychainSuccess : kKeychainItemNotFound;
  });
}

KeychainStatus FileKeychain::add(const KeychainQuery& query, const KeychainAttributes& extra, std::string_view data) {
  return withStore(true, [&](Store& store, bool& changed) {
    for (const auto& item : store.items) {
      if (matches(item.attributes, item.itemClass, query, query.itemClass)) return kKeychainDuplicateItem;
    }
    Item item{query.itemClass, query.attributes, std::string(data)};
    for (const auto& [k, v] : extra) item.attributes.insert_or_assign(k, v);
    store.items.push_back(std::move(item));
    changed = true;
    return kKeychainSuccess;
  });
}

KeychainStatus FileKeychain::remove(const KeychainQuery& query) {
  return withStore(true, [&](Store& store, bool& changed) {
    auto before = store.items.size();
    std::erase_if(store.items, [&](const Item& item) {
      return matches(item.attributes, item.itemClass, query, query.itemClass);
    });
    changed = store.items.size() != before;
    return changed ? kKeychainSuccess : kKeychainItemNotFound;
  });
}

std::optional<std::string> FileKeychain::message(KeychainStatus status) const {
  return standardKeychainMessage(status);
}

}  // namespace kv
