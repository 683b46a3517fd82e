#pragma once
// Combining hashes of several fields (the boost formula, widened to 64 bits).
#include <cstddef>
#include <functional>

namespace kv {

template <class T>
void hashCombine(std::size_t& seed, const T& value) {
  seed ^= std::hash<T>{}(value) + 0x9e3779b97f4a7c15ULL + (seed << 6) + (seed >> 2);
}

}  // namespace kv
