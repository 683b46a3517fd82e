#pragma once
// Splits a byte stream of UTF-8 text into lines, as they arrive in chunks.
//
// A line ends at LF, CR, CR LF, NEL (U+0085), LINE SEPARATOR (U+2028) or
// PARAGRAPH SEPARATOR (U+2029); the terminator is not part of the line. A
// CR LF pair split across two chunks still counts once, and so does a
// multi-byte terminator split across chunks. Empty lines between two
// terminators are kept. `finish` hands out what is left after the last
// terminator (if anything). Not thread-safe: one reader owns it.
#include <string>
#include <string_view>
#include <vector>

namespace kv {

class LineSplitter {
 public:
  // Returns the lines completed by `bytes`.
  std::vector<std::string> feed(std::string_view bytes);
  // Returns the unterminated rest, if any, and resets.
  std::vector<std::string> finish();

 private:
  std::string pending_;      // bytes of the current line (and maybe a partial terminator)
  bool afterCR_ = false;     // the previous line ended with CR: a leading LF belongs to it
};

}  // namespace kv
