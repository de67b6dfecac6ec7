// The language table: every text the window, its dialogs and the tray menu show is
// looked up by an English key in "lang.conf", a UTF-16LE file in the program directory.
// Choosing the language also chooses the text code page that the playlist import and the
// tag reader use for 8-bit text. Plain C++, so headless code can translate its messages
// too.
//
// File format: a byte-order mark, then lines. "[xx]" selects one of the 13 language
// sections by its first four characters; "@[xx]" forces that section whatever the
// settings say; "key=value" is an entry of the current section; other lines are skipped.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "gui/gui_limits.h"

// The language file's name in the program directory.
inline constexpr const char* kLanguageFileName = "lang.conf";

// The sections, in file-tag order.
enum LanguageSlot : int {
  kSlotNone = -1,
  kSlotEnglish = 0,
  kSlotChineseTraditional,
  kSlotChineseSimplified,
  kSlotJapanese,
  kSlotGerman,
  kSlotFrench,
  kSlotItalian,
  kSlotSpanish,
  kSlotPortuguese,
  kSlotDutch,
  kSlotTurkish,
  kSlotRussian,
  kSlotHebrew,
};
inline constexpr int kLanguageSlotCount = 13;

// The section tags; a section line matches a tag on its first four characters.
extern const std::array<const char*, kLanguageSlotCount> kLanguageTags;

// Code pages of 8-bit text chosen with the language.
inline constexpr int kCodePageTraditionalChinese = 950;
inline constexpr int kCodePageSimplifiedChinese = 936;
inline constexpr int kCodePageJapanese = 932;

// The parsed file: up to kLanguageEntriesMax (key, value) pairs per section, in file
// order. Values are UTF-8.
class CLanguageTable {
 public:
  // Parses the bytes of a language file. The first two bytes are taken as the byte-order
  // mark and skipped unread, so a file without one loses its first character.
  void Parse(std::string_view fileBytes);

  size_t EntryCount(int slot) const;
  const std::vector<std::pair<std::string, std::string>>& Entries(int slot) const;
  // The section named by an "@" line, or kSlotNone.
  int ForcedSlot() const { return forcedSlot_; }
  // The value of the first entry of `slot` whose key equals `key` without regard to case.
  std::optional<std::string> Find(int slot, std::string_view key) const;

 private:
  void ParseLine(std::string_view line, int* slot);

  std::array<std::vector<std::pair<std::string, std::string>>, kLanguageSlotCount> entries_;
  int forcedSlot_ = kSlotNone;
};

// The section for a slot number, or kSlotNone for a tag that matches none.
int LanguageSlotForTag(std::string_view text);

struct LanguageChoice {
  int slot = kSlotEnglish;
  int codePage = kCodePageTraditionalChinese;
};

// The "Language" setting's codes ("0x04" Chinese, "0x00" English, ...) and, for any other
// value, the system language from the locale name (such as "zh_CN.UTF-8"). Chinese is
// simplified (code page 936) when the locale's territory or script says so, else
// traditional (950); Japanese uses 932; everything else keeps 950.
LanguageChoice ChooseLanguage(std::string_view languageSetting, std::string_view localeName);

// The user's message locale: LC_ALL, else LC_MESSAGES, else LANG (empty when none is set).
std::string SystemLocaleName();

// ---- The process-wide table ----

// Reads AppDirectory/lang.conf, the "Language" setting and the locale, sets the text code
// page and chooses the language. Returns 1 when the chosen section has entries, else 0.
int LoadLanguageFile();
// The same with the file, the setting and the locale given.
int LoadLanguageFileFrom(const std::string& path, std::string_view languageSetting,
                         std::string_view localeName);
// Chooses the language for a setting code from the table already loaded, leaving the
// text code page as it is (the library keeps 8-bit text decoded one way for a run).
// Returns 1 when the chosen section has entries, else 0.
int SwitchLanguage(std::string_view languageSetting);
// Forgets the table: every look-up yields nothing.
void FreeLanguageTable();

// The chosen section, or kSlotNone.
int CurrentLanguage();
// The current language's text for `key` (case does not matter); nothing when no
// language is chosen or the key is absent. Safe from any thread.
std::optional<std::string> LookUpText(std::string_view key);
// LookUpText, or `builtIn` when it yields nothing.
std::string LocalizedText(std::string_view key, std::string_view builtIn);
