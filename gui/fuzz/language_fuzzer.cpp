// Feeds arbitrary bytes to the language file parser and looks every key of the result up.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "gui/language.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  CLanguageTable table;
  table.Parse(std::string_view(reinterpret_cast<const char*>(data), size));
  for (int slot = 0; slot < kLanguageSlotCount; ++slot) {
    for (const auto& entry : table.Entries(slot)) table.Find(slot, entry.first);
  }
  table.Find(table.ForcedSlot(), "Exit");
  return 0;
}
