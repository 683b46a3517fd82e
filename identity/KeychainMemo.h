#pragma once
// What a keychain store last read or wrote, so that repeated loads do not go
// to the keychain. Three states: unchecked (not read since start-up), absent
// (the item is known not to exist), present with a value. The lock is held
// only while the state is read or replaced, never during a keychain call.
#include <mutex>
#include <optional>
#include <variant>

namespace kv {

template <class T>
class KeychainMemo {
 public:
  struct Unchecked {};
  struct Absent {};
  using State = std::variant<Unchecked, Absent, T>;

  State get() const {
    std::lock_guard lk(mu_);
    return state_;
  }
  void setAbsent() { set(Absent{}); }
  void setPresent(T value) { set(std::move(value)); }
  void set(State s) {
    std::lock_guard lk(mu_);
    state_ = std::move(s);
  }

  // The known value: nullopt when unchecked; an empty inner optional when absent.
  std::optional<std::optional<T>> known() const {
    std::lock_guard lk(mu_);
    if (std::holds_alternative<Unchecked>(state_)) return std::nullopt;
    if (std::holds_alternative<Absent>(state_)) return std::optional<T>();
    return std::optional<T>(std::get<T>(state_));
  }

  bool isUnchecked() const {
    std::lock_guard lk(mu_);
    return std::holds_alternative<Unchecked>(state_);
  }

 private:
  mutable std::mutex mu_;
  State state_{Unchecked{}};
};

}  // namespace kv
