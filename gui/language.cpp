#include "gui/language.h"

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <mutex>

#include "app/settings.h"
#include "platform/app_directory.h"
#include "platform/codepage.h"
#include "platform/log.h"
#include "platform/text.h"

const std::array<const char*, kLanguageSlotCount> kLanguageTags = {
    "[en]", "[ct]",         "[cs]",    "[jp]",      "[gm]", "[fr]", "[it]",
    "[sp]", "[Portuguese]", "[Dutch]", "[Turkish]", "[Ru]", "[He]"};

namespace {

// Section tags and the forced-language marker compare this many characters.
constexpr size_t kTagCompareChars = 4;

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

struct LanguageState {
  std::mutex mutex;
  CLanguageTable table;
  int current = kSlotNone;
};

LanguageState& State() {
  static LanguageState state;
  return state;
}

// The primary languages the setting codes and the locale names stand for.
enum class Primary {
  kOther,
  kChinese,
  kEnglish,
  kFrench,
  kGerman,
  kItalian,
  kJapanese,
  kSpanish,
  kPortuguese,
  kTurkish,
  kDutch,
  kRussian,
  kHebrew
};

struct SettingCode {
  const char* code;
  Primary primary;
};
constexpr SettingCode kSettingCodes[] = {
    {"0x04", Primary::kChinese}, {"0x00", Primary::kEnglish},    {"0x0C", Primary::kFrench},
    {"0x07", Primary::kGerman},  {"0x10", Primary::kItalian},    {"0x11", Primary::kJapanese},
    {"0x0A", Primary::kSpanish}, {"0x16", Primary::kPortuguese}, {"0x1f", Primary::kTurkish},
    {"0x13", Primary::kDutch},   {"0x19", Primary::kRussian},    {"0x0D", Primary::kHebrew},
};

struct LocaleLanguage {
  const char* code;
  Primary primary;
};
constexpr LocaleLanguage kLocaleLanguages[] = {
    {"zh", Primary::kChinese}, {"en", Primary::kEnglish},    {"fr", Primary::kFrench},
    {"de", Primary::kGerman},  {"it", Primary::kItalian},    {"ja", Primary::kJapanese},
    {"es", Primary::kSpanish}, {"pt", Primary::kPortuguese}, {"tr", Primary::kTurkish},
    {"nl", Primary::kDutch},   {"ru", Primary::kRussian},    {"he", Primary::kHebrew},
    {"iw", Primary::kHebrew},
};

// Splits "ll_TT.codeset@modifier" into its language and the rest.
Primary LocalePrimary(std::string_view locale) {
  std::string_view language = locale.substr(0, locale.find_first_of("_.@"));
  for (const LocaleLanguage& entry : kLocaleLanguages) {
    if (platform::AsciiEqualsNoCase(language, entry.code)) return entry.primary;
  }
  return Primary::kOther;
}

// Simplified Chinese is written in mainland China and Singapore, or named by its script.
bool LocaleIsSimplifiedChinese(std::string_view locale) {
  std::string lower = platform::AsciiLower(locale);
  size_t underscore = lower.find('_');
  if (lower.find("hans") != std::string::npos) return true;
  if (underscore == std::string::npos) return false;
  std::string_view territory = std::string_view(lower).substr(underscore + 1, 2);
  return territory == "cn" || territory == "sg";
}

}  // namespace

int LanguageSlotForTag(std::string_view text) {
  if (text.size() < kTagCompareChars) return kSlotNone;
  for (int slot = 0; slot < kLanguageSlotCount; ++slot) {
    if (text.substr(0, kTagCompareChars) ==
        std::string_view(kLanguageTags[slot]).substr(0, kTagCompareChars)) {
      return slot;
    }
  }
  return kSlotNone;
}

void CLanguageTable::Parse(std::string_view fileBytes) {
  for (auto& entries : entries_) entries.clear();
  forcedSlot_ = kSlotNone;
  if (fileBytes.size() < 2) return;
  const std::string text = platform::Utf16ToUtf8(fileBytes.substr(2), false);
  int slot = kSlotNone;
  size_t pos = 0;
  while (pos < text.size() && IsBlank(text[pos])) ++pos;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    ParseLine(std::string_view(text).substr(pos, end - pos), &slot);
    pos = end;
    while (pos < text.size() && IsBlank(text[pos])) ++pos;
  }
}

void CLanguageTable::ParseLine(std::string_view line, int* slot) {
  if (line.front() == '[') {
    int tagged = LanguageSlotForTag(line);
    if (tagged != kSlotNone) *slot = tagged;
    return;
  }
  if (line.front() == '@') {
    int forced = LanguageSlotForTag(line.substr(1));
    if (forced != kSlotNone) forcedSlot_ = forced;
    return;
  }
  if (*slot == kSlotNone) return;
  size_t equals = line.find('=');
  if (equals == std::string_view::npos) return;
  std::string_view value = line.substr(equals + 1);
  value = value.substr(0, value.find('\r'));
  auto& entries = entries_[*slot];
  if (entries.size() >= kLanguageEntriesMax) return;
  entries.emplace_back(std::string(line.substr(0, equals)), std::string(value));
}

size_t CLanguageTable::EntryCount(int slot) const {
  if (slot < 0 || slot >= kLanguageSlotCount) return 0;
  return entries_[slot].size();
}

const std::vector<std::pair<std::string, std::string>>& CLanguageTable::Entries(int slot) const {
  static const std::vector<std::pair<std::string, std::string>> kNone;
  if (slot < 0 || slot >= kLanguageSlotCount) return kNone;
  return entries_[slot];
}

std::optional<std::string> CLanguageTable::Find(int slot, std::string_view key) const {
  for (const auto& [entryKey, value] : Entries(slot)) {
    if (platform::AsciiEqualsNoCase(entryKey, key)) return value;
  }
  return std::nullopt;
}

LanguageChoice ChooseLanguage(std::string_view languageSetting, std::string_view localeName) {
  Primary primary = Primary::kOther;
  bool fromSetting = false;
  for (const SettingCode& entry : kSettingCodes) {
    if (platform::AsciiEqualsNoCase(languageSetting, entry.code)) {
      primary = entry.primary;
      fromSetting = true;
    }
  }
  if (!fromSetting) primary = LocalePrimary(localeName);

  switch (primary) {
    case Primary::kChinese:
      if (LocaleIsSimplifiedChinese(localeName)) {
        return {kSlotChineseSimplified, kCodePageSimplifiedChinese};
      }
      return {kSlotChineseTraditional, kCodePageTraditionalChinese};
    case Primary::kJapanese:
      return {kSlotJapanese, kCodePageJapanese};
    case Primary::kGerman:
      return {kSlotGerman, kCodePageTraditionalChinese};
    case Primary::kFrench:
      return {kSlotFrench, kCodePageTraditionalChinese};
    case Primary::kItalian:
      return {kSlotItalian, kCodePageTraditionalChinese};
    case Primary::kSpanish:
      return {kSlotSpanish, kCodePageTraditionalChinese};
    case Primary::kPortuguese:
      return {kSlotPortuguese, kCodePageTraditionalChinese};
    case Primary::kDutch:
      return {kSlotDutch, kCodePageTraditionalChinese};
    case Primary::kTurkish:
      return {kSlotTurkish, kCodePageTraditionalChinese};
    case Primary::kRussian:
      return {kSlotRussian, kCodePageTraditionalChinese};
    case Primary::kHebrew:
      return {kSlotHebrew, kCodePageTraditionalChinese};
    case Primary::kEnglish:
    case Primary::kOther:
      break;
  }
  return {kSlotEnglish, kCodePageTraditionalChinese};
}

std::string SystemLocaleName() {
  for (const char* variable : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    const char* value = std::getenv(variable);
    if (value != nullptr && *value != '\0') return value;
  }
  return {};
}

int LoadLanguageFile() {
  return LoadLanguageFileFrom(platform::ProgramFilePath(kLanguageFileName),
                              ReadSetting(kKeyLanguage), SystemLocaleName());
}

int LoadLanguageFileFrom(const std::string& path, std::string_view languageSetting,
                         std::string_view localeName) {
  LanguageState& state = State();
  std::lock_guard lock(state.mutex);
  state.table = CLanguageTable();
  state.current = kSlotNone;

  // The code page belongs to the language choice, not to the file: 8-bit tags are read
  // the same way whether or not translations are installed.
  const LanguageChoice choice = ChooseLanguage(languageSetting, localeName);

  std::ifstream file(path, std::ios::binary);
  if (!file) {
    platform::SetTextCodePage(choice.codePage);
    return 0;
  }
  std::string bytes;
  char chunk[8192];
  while (file.read(chunk, sizeof chunk) || file.gcount() > 0) {
    bytes.append(chunk, static_cast<size_t>(file.gcount()));
    if (bytes.size() > kLanguageFileMaxBytes) {
      platform::Logf("%s is too large to be a language file; it is ignored.\n", path.c_str());
      platform::SetTextCodePage(choice.codePage);
      return 0;
    }
  }
  state.table.Parse(bytes);

  const int forced = state.table.ForcedSlot();
  if (forced != kSlotNone && state.table.EntryCount(forced) > 0) {
    for (const auto& [key, value] : state.table.Entries(forced)) {
      platform::Logf("Current key value at %s: %s\n", key.c_str(), value.c_str());
    }
    platform::SetTextCodePage(kCodePageTraditionalChinese);
    state.current = forced;
    return 1;
  }
  platform::SetTextCodePage(choice.codePage);
  if (state.table.EntryCount(choice.slot) == 0) return 0;
  state.current = choice.slot;
  return 1;
}

int SwitchLanguage(std::string_view languageSetting) {
  LanguageState& state = State();
  std::lock_guard lock(state.mutex);
  const LanguageChoice choice = ChooseLanguage(languageSetting, SystemLocaleName());
  state.current = state.table.EntryCount(choice.slot) > 0 ? choice.slot : kSlotNone;
  return state.current == kSlotNone ? 0 : 1;
}

void FreeLanguageTable() {
  LanguageState& state = State();
  std::lock_guard lock(state.mutex);
  state.table = CLanguageTable();
  state.current = kSlotNone;
}

int CurrentLanguage() {
  LanguageState& state = State();
  std::lock_guard lock(state.mutex);
  return state.current;
}

std::optional<std::string> LookUpText(std::string_view key) {
  LanguageState& state = State();
  std::lock_guard lock(state.mutex);
  if (state.current == kSlotNone) return std::nullopt;
  return state.table.Find(state.current, key);
}

std::string LocalizedText(std::string_view key, std::string_view builtIn) {
  std::optional<std::string> text = LookUpText(key);
  return text ? *text : std::string(builtIn);
}
