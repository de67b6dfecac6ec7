// Feeds arbitrary SearchCriteria to the compiler: it must never crash, and every
// placeholder of an accepted condition must have its bound value.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "cds/search_criteria.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  Sql condition;
  std::string error;
  if (Search_CompileCriteria(text, &condition, &error)) {
    size_t placeholders = 0;
    for (char c : condition.text) placeholders += c == '?' ? 1 : 0;
    if (placeholders != condition.values.size()) std::abort();
  }
  return 0;
}
