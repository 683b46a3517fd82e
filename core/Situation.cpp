#include "core/Situation.h"

namespace kv {

namespace {

// A nested chain is finite, but a hostile chain could in principle be long;
// the outermost errors are the meaningful ones anyway.
constexpr int kMaxNestingDepth = 64;

const SituationConvertible* walk(const std::exception& error, int depth) {
  if (const auto* convertible = dynamic_cast<const SituationConvertible*>(&error)) return convertible;
  if (depth >= kMaxNestingDepth) return nullptr;
  const auto* nested = dynamic_cast<const std::nested_exception*>(&error);
  if (!nested || !nested->nested_ptr()) return nullptr;
  try {
    std::rethrow_exception(nested->nested_ptr());
  } catch (const std::exception& inner) {
    // `inner` is the exception object kept alive by the nested_ptr held in
    // `error`, so the pointer stays valid as long as `error` does.
    return walk(inner, depth + 1);
  } catch (...) {
    return nullptr;
  }
}

}  // namespace

const SituationConvertible* situationOf(const std::exception& error) { return walk(error, 0); }

const SituationConvertible* situationOf(const std::exception_ptr& error) {
  if (!error) return nullptr;
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& e) {
    return walk(e, 0);
  } catch (...) {
    return nullptr;
  }
}

}  // namespace kv
