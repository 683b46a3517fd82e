#include "platform/linux/identity/SecretServiceKeychain.h"

#include <libsecret/secret.h>

#include <memory>

namespace kv {

namespace {

const SecretSchema* schemaFor(KeychainItemClass c) {
  static const SecretSchema generic = {
      "net.kelvane.Kelvane.GenericPassword",
      SECRET_SCHEMA_NONE,
      {{"service", SECRET_SCHEMA_ATTRIBUTE_STRING}, {"account", SECRET_SCHEMA_ATTRIBUTE_STRING}, {nullptr, {}}},
      0, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};
  static const SecretSchema internet = {"net.kelvane.Kelvane.InternetPassword",
                                        SECRET_SCHEMA_NONE,
                                        {{"server", SECRET_SCHEMA_ATTRIBUTE_STRING},
                                         {"protocol", SECRET_SCHEMA_ATTRIBUTE_STRING},
                                         {"account", SECRET_SCHEMA_ATTRIBUTE_STRING},
                                         {nullptr, {}}},
                                        0, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};
  return c == KeychainItemClass::genericPassword ? &generic : &internet;
}

bool inSchema(const SecretSchema* schema, const std::string& name) {
  for (const auto& a : schema->attributes) {
    if (!a.name) break;
    if (name == a.name) return true;
  }
  return false;
}

struct HashDeleter {
  void operator()(GHashTable* t) const { g_hash_table_unref(t); }
};
using Hash = std::unique_ptr<GHashTable, HashDeleter>;

// The attributes libsecret can store for this schema; others are dropped.
Hash attributeTable(const SecretSchema* schema, const KeychainAttributes& attrs) {
  Hash table(g_hash_table_new_full(g_str_hash, g_str_equal, g_free, g_free));
  for (const auto& [k, v] : attrs) {
    if (!inSchema(schema, k)) continue;
    g_hash_table_insert(table.get(), g_strdup(k.c_str()), g_strdup(v.c_str()));
  }
  return table;
}

KeychainStatus statusOf(GError* error) {
  if (!error) return kKeychainSuccess;
  KeychainStatus status = kKeychainIO;
  if (error->domain == SECRET_ERROR) {
    switch (error->code) {
      case SECRET_ERROR_IS_LOCKED: status = kKeychainInteractionNotAllowed; break;
      case SECRET_ERROR_NO_SUCH_OBJECT: status = kKeychainItemNotFound; break;
      case SECRET_ERROR_ALREADY_EXISTS: status = kKeychainDuplicateItem; break;
      default: status = kKeychainIO; break;
    }
  } else if (error->domain == G_DBUS_ERROR || error->domain == G_IO_ERROR) {
    status = kKeychainNotAvailable;
  }
  g_error_free(error);
  return status;
}

struct ItemList {
  GList* items = nullptr;
  ~ItemList() { g_list_free_full(items, g_object_unref); }
};

KeychainStatus search(const KeychainQuery& query, bool loadSecrets, ItemList& out) {
  const SecretSchema* schema = schemaFor(query.itemClass);
  Hash attrs = attributeTable(schema, query.attributes);
  GError* error = nullptr;
  int flags = SECRET_SEARCH_ALL | SECRET_SEARCH_UNLOCK | (loadSecrets ? SECRET_SEARCH_LOAD_SECRETS : 0);
  out.items = secret_service_search_sync(nullptr, schema, attrs.get(), static_cast<SecretSearchFlags>(flags),
                                         nullptr, &error);
  return statusOf(error);
}

}  // namespace

bool SecretServiceKeychain::available() {
  GError* error = nullptr;
  GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &error);
  if (!bus) {
    if (error) g_error_free(error);
    return false;
  }
  auto ask = [&](const char* method, GVariant* args) -> GVariant* {
    GError* e = nullptr;
    GVariant* r = g_dbus_connection_call_sync(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                              "org.freedesktop.DBus", method, args, nullptr,
                                              G_DBUS_CALL_FLAGS_NONE, 2000, nullptr, &e);
    if (e) g_error_free(e);
    return r;
  };
  bool found = false;
  if (GVariant* r = ask("NameHasOwner", g_variant_new("(s)", "org.freedesktop.secrets"))) {
    gboolean owned = FALSE;
    g_variant_get(r, "(b)", &owned);
    found = owned;
    g_variant_unref(r);
  }
  if (!found) {
    if (GVariant* r = ask("ListActivatableNames", nullptr)) {
      GVariantIter* iter = nullptr;
      const char* name = nullptr;
      g_variant_get(r, "(as)", &iter);
      while (g_variant_iter_loop(iter, "&s", &name)) {
        if (g_strcmp0(name, "org.freedesktop.secrets") == 0) found = true;
      }
      g_variant_iter_free(iter);
      g_variant_unref(r);
    }
  }
  g_object_unref(bus);
  return found;
}

KeychainStatus SecretServiceKeychain::findOne(const KeychainQuery& query, KeychainMatch& out) {
  std::lock_guard lk(mu_);
  ItemList list;
  if (auto status = search(query, true, list); status != kKeychainSuccess) return status;
  if (!list.items) return kKeychainItemNotFound;
  auto* item = SECRET_ITEM(list.items->data);
  if (secret_item_get_locked(item)) return kKeychainInteractionNotAllowed;
  KeychainMatch match;
  if (GHashTable* attrs = secret_item_get_attributes(item)) {
    GHashTableIter it;
    gpointer key, value;
    g_hash_table_iter_init(&it, attrs);
    while (g_hash_table_iter_next(&it, &key, &value)) {
      std::string name(static_cast<const char*>(key));
      if (name.rfind("xdg:", 0) == 0) continue;
      match.attributes.emplace(std::move(name), static_cast<const char*>(value));
    }
    g_hash_table_unref(attrs);
  }
  if (gchar* label = secret_item_get_label(item)) {
    match.attributes.emplace(std::string(keychainattr::label), label);
    g_free(label);
  }
  if (SecretValue* secret = secret_item_get_secret(item)) {
    gsize length = 0;
    const gchar* bytes = secret_value_get(secret, &length);
    match.data = std::string(bytes, length);
    secret_value_unref(secret);
  }
  out = std::move(match);
  return kKeychainSuccess;
}

KeychainStatus SecretServiceKeychain::update(const KeychainQuery& query, std::string_view data) {
  std::lock_guard lk(mu_);
  ItemList list;
  if (auto status = search(query, false, list); status != kKeychainSuccess) return status;
  if (!list.items) return kKeychainItemNotFound;
  for (GList* l = list.items; l; l = l->next) {
    auto* item = SECRET_ITEM(l->data);
    SecretValue* value = secret_value_new(data.data(), static_cast<gssize>(data.size()), "application/octet-stream");
    GError* error = nullptr;
    secret_item_set_secret_sync(item, value, nullptr, &error);
    secret_value_unref(value);
    if (auto status = statusOf(error); status != kKeychainSuccess) return status;
  }
  return kKeychainSuccess;
}

KeychainStatus SecretServiceKeychain::add(const KeychainQuery& query, const KeychainAttributes& extra,
                                          std::string_view data) {
  std::lock_guard lk(mu_);
  {
    ItemList list;
    if (auto status = search(query, false, list); status != kKeychainSuccess) return status;
    if (list.items) return kKeychainDuplicateItem;
  }
  KeychainAttributes all = query.attributes;
  for (const auto& [k, v] : extra) all.insert_or_assign(k, v);
  const SecretSchema* schema = schemaFor(query.itemClass);
  Hash attrs = attributeTable(schema, all);
  std::string label;
  if (auto it = all.find(keychainattr::label); it != all.end()) {
    label = it->second;
  } else {
    label = "Kelvane";
    if (auto acc = all.find(keychainattr::account); acc != all.end()) label += " (" + acc->second + ")";
  }
  SecretValue* value = secret_value_new(data.data(), static_cast<gssize>(data.size()), "application/octet-stream");
  GError* error = nullptr;
  secret_password_storev_binary_sync(schema, attrs.get(), SECRET_COLLECTION_DEFAULT, label.c_str(), value, nullptr,
                                     &error);
  secret_value_unref(value);
  return statusOf(error);
}

KeychainStatus SecretServiceKeychain::remove(const KeychainQuery& query) {
  std::lock_guard lk(mu_);
  const SecretSchema* schema = schemaFor(query.itemClass);
  Hash attrs = attributeTable(schema, query.attributes);
  GError* error = nullptr;
  gboolean removed = secret_password_clearv_sync(schema, attrs.get(), nullptr, &error);
  if (error) return statusOf(error);
  return removed ? kKeychainSuccess : kKeychainItemNotFound;
}

std::optional<std::string> SecretServiceKeychain::message(KeychainStatus status) const {
  return standardKeychainMessage(status);
}

}  // namespace kv
