#include "app/settings.h"

#include <charconv>

#include "library/library.h"
#include "library/schema.h"
#include "platform/app_directory.h"
#include "platform/autostart.h"
#include "platform/text.h"

std::atomic<int> TranscodingEnable{0};
std::atomic<int> PreCacheEnable{0};
std::atomic<int> TransVideoQuality{0};

namespace {

std::array<FilterTable, 4> g_filters;

const char* const kFilterKeys[4] = {kKeyVideoFilter, kKeyAudioFilter, kKeyImageFilter,
                                    kKeyPlaylistFilter};

const std::vector<std::string_view>& DefaultList(int kind) {
  static const std::vector<std::string_view>* const kLists[4] = {
      &kDefaultVideoExtensions, &kDefaultAudioExtensions, &kDefaultImageExtensions,
      &kDefaultPlaylistExtensions};
  return *kLists[kind];
}

// A decimal integer; anything else (or an overflow) is 0, like the original parse of an
// empty value.
int ParseInt(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  int value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  (void)end;
  return ec == std::errc() ? value : 0;
}

}  // namespace

bool SettingIsTrue(std::string_view value) {
  return value.size() >= 4 && platform::AsciiEqualsNoCase(value.substr(0, 4), "TRUE");
}

std::string ReadSetting(std::string_view key) {
  std::string value;
  db_getAVP(key, &value);
  return value;
}

bool ReadBoolSetting(std::string_view key) { return SettingIsTrue(ReadSetting(key)); }

void ApplyStartupSettings() {
  PreCacheEnable.store(ReadBoolSetting(kKeyPreCacheEnable) ? 1 : 0, std::memory_order_release);
  TranscodingEnable.store(ReadBoolSetting(kKeyTranscodingEnable) ? 1 : 0,
                          std::memory_order_release);
  int quality = ParseInt(ReadSetting(kKeyTransVideoQuality));
  if (quality < 0 || quality >= kTransVideoQualityRows) quality = 0;
  TransVideoQuality.store(quality, std::memory_order_release);
}

bool FilterTable::Matches(std::string_view extension) const {
  for (const std::string& slot : slots) {
    if (slot.empty()) return false;
    if (platform::AsciiEqualsNoCase(slot, extension)) return true;
  }
  return false;
}

std::vector<std::string> FilterTable::Active() const {
  std::vector<std::string> active;
  for (const std::string& slot : slots) {
    if (slot.empty()) break;
    active.push_back(slot);
  }
  return active;
}

FilterTable& Filter(FilterKind kind) { return g_filters[kind]; }

void FillFilterTable(FilterTable* table, std::string_view value) {
  for (std::string& slot : table->slots) slot.clear();
  // The last slot always stays empty: it ends a full list.
  const size_t lastSlot = kFilterSlots - 1;
  size_t slot = 0;
  value = value.substr(0, std::min(value.size(), kFilterRowMax));
  for (char c : value) {
    if (slot >= lastSlot) break;
    if (c == ' ') {
      ++slot;
      continue;
    }
    if (table->slots[slot].size() < kFilterExtensionMax) table->slots[slot].push_back(c);
  }
  // An extension cut at the slot size may end inside a UTF-8 sequence; trim it there.
  for (std::string& s : table->slots) {
    if (!platform::IsValidUtf8(s)) platform::Utf8CapInPlace(s, s.size());
  }
  if (slot + 1 < kFilterSlots) table->slots[slot + 1].clear();
}

void LoadFilterTables() {
  for (int kind = 0; kind < 4; ++kind) {
    std::string value;
    bool found = false;
    if (db_getAVP(kFilterKeys[kind], &value, &found) && found) {
      FillFilterTable(&g_filters[static_cast<size_t>(kind)], value);
    }
  }
}

void ResetFilterTables() {
  for (int kind = 0; kind < 4; ++kind) {
    FilterTable& table = g_filters[static_cast<size_t>(kind)];
    for (std::string& slot : table.slots) slot.clear();
    const auto& list = DefaultList(kind);
    for (size_t i = 0; i < list.size() && i + 1 < kFilterSlots; ++i) {
      table.slots[i] = std::string(list[i]);
    }
  }
}

bool ExtensionInFilters(std::string_view extension, int tables) {
  for (int kind = 0; kind < 4; ++kind) {
    if ((tables & (1 << kind)) && g_filters[static_cast<size_t>(kind)].Matches(extension)) {
      return true;
    }
  }
  return false;
}

void ApplyOptions(bool autoRun, bool minimized, bool transcoding) {
  // A failed autostart write is ignored; the settings rows are stored all the same.
  platform::SetAutostart(autoRun, ProgramPath());
  db_setAVP(kKeyEnableAutoRun, autoRun ? "TRUE" : "FALSE");
  db_setAVP(kKeyMinimizedAtStartUp, minimized ? "TRUE" : "FALSE");
  db_setAVP(kKeyTranscodingEnable, transcoding ? "TRUE" : "FALSE");
  TranscodingEnable.store(transcoding ? 1 : 0, std::memory_order_release);
  db_setAVP(kKeyTransVideoQuality,
            std::to_string(TransVideoQuality.load(std::memory_order_acquire)));
}

std::string ProgramPath() { return platform::ExecutablePath(); }

bool IsValidServerName(std::string_view name) {
  return !name.empty() && name.find_first_of("\\/:*?\"<>|") == std::string_view::npos;
}
