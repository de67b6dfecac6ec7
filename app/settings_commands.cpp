#include "app/settings_commands.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <fstream>
#include <optional>

#include "app/settings.h"
#include "library/library.h"
#include "platform/autostart.h"
#include "platform/path.h"
#include "platform/text.h"

namespace {

enum class Kind { kText, kBool, kQuality, kLanguage, kTypes };

struct SettingKey {
  const char* name;  // as the user writes it
  const char* row;   // the settings row
  Kind kind;
};

constexpr SettingKey kKeys[] = {
    {"name", kKeyServerName, Kind::kText},
    {"autostart", kKeyEnableAutoRun, Kind::kBool},
    {"minimized", kKeyMinimizedAtStartUp, Kind::kBool},
    {"transcoding", kKeyTranscodingEnable, Kind::kBool},
    {"quality", kKeyTransVideoQuality, Kind::kQuality},
    {"language", kKeyLanguage, Kind::kLanguage},
    {"precache", kKeyPreCacheEnable, Kind::kBool},
    {"video-types", kKeyVideoFilter, Kind::kTypes},
    {"music-types", kKeyAudioFilter, Kind::kTypes},
    {"picture-types", kKeyImageFilter, Kind::kTypes},
    {"playlist-types", kKeyPlaylistFilter, Kind::kTypes},
};

// The row's form of a list of file types: extensions with their dot, separated by one
// space, each short enough for its slot and few enough for the table, so the list reads
// back exactly as it was given. Empty when `value` is not such a list.
std::string TypesRow(std::string_view value) {
  std::string row;
  size_t count = 0;
  while (!value.empty()) {
    size_t end = value.find_first_of(" \t");
    std::string_view extension = value.substr(0, end);
    value = end == std::string_view::npos ? std::string_view() : value.substr(end + 1);
    if (extension.empty()) continue;
    if (extension.size() < 2 || extension.size() > kFilterExtensionMax || extension[0] != '.' ||
        ++count >= kFilterSlots) {
      return {};
    }
    for (char c : extension.substr(1)) {
      if (!std::isalnum(static_cast<unsigned char>(c))) return {};
    }
    row += (row.empty() ? "" : " ") + std::string(extension);
  }
  return row.size() <= kFilterRowMax ? row : std::string();
}

// The window's language choices and the codes it stores for them.
struct LanguageName {
  const char* name;
  const char* code;
};
constexpr LanguageName kLanguages[] = {
    {"chinese", "0x04"}, {"english", "0x00"}, {"french", "0x0C"},
    {"german", "0x07"},  {"italian", "0x10"}, {"japanese", "0x11"},
    {"spanish", "0x0A"}, {"russian", "0x19"}, {"hebrew", "0x0D"},
};

constexpr std::array<const char*, 4> kTrueWords = {"yes", "true", "on", "1"};
constexpr std::array<const char*, 4> kFalseWords = {"no", "false", "off", "0"};

std::string_view Trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

const SettingKey* FindKey(std::string_view name) {
  for (const SettingKey& key : kKeys) {
    if (platform::AsciiEqualsNoCase(name, key.name)) return &key;
  }
  return nullptr;
}

bool IsOneOf(std::string_view value, const std::array<const char*, 4>& words) {
  for (const char* word : words) {
    if (platform::AsciiEqualsNoCase(value, word)) return true;
  }
  return false;
}

// The row's value for `value`, or nothing when `value` is not one the key takes.
std::optional<std::string> StoredForm(const SettingKey& key, std::string_view value) {
  switch (key.kind) {
    case Kind::kText:
      if (!IsValidServerName(value)) return std::nullopt;
      return std::string(value);
    case Kind::kBool:
      if (IsOneOf(value, kTrueWords)) return std::string("TRUE");
      if (IsOneOf(value, kFalseWords)) return std::string("FALSE");
      return std::nullopt;
    case Kind::kQuality:
      if (value.size() == 1 && value[0] >= '0' && value[0] < '0' + kTransVideoQualityRows) {
        return std::string(value);
      }
      return std::nullopt;
    case Kind::kLanguage:
      for (const LanguageName& language : kLanguages) {
        if (platform::AsciiEqualsNoCase(value, language.name)) return std::string(language.code);
      }
      return std::nullopt;
    case Kind::kTypes: {
      std::string row = TypesRow(value);
      if (row.empty()) return std::nullopt;
      return row;
    }
  }
  return std::nullopt;
}

std::string Accepted(const SettingKey& key) {
  switch (key.kind) {
    case Kind::kText:
      return kInvalidServerNameMsg;
    case Kind::kBool:
      return "it takes yes or no";
    case Kind::kQuality:
      return "it takes 0, 1 or 2";
    case Kind::kTypes:
      return "it takes extensions such as \".mp3 .ogg\" (at most " +
             std::to_string(kFilterSlots - 1) + ", each of at most " +
             std::to_string(kFilterExtensionMax - 1) + " letters or digits)";
    case Kind::kLanguage:
      break;
  }
  std::string names;
  for (const LanguageName& language : kLanguages) {
    names += (names.empty() ? "" : ", ") + std::string(language.name);
  }
  return "it takes " + names;
}

bool IsShare(const SettingChange& change) {
  return platform::AsciiEqualsNoCase(change.key, kShareKey);
}

// Empty when `change` names a known key and a value it takes, else why not.
std::string Problem(const SettingChange& change) {
  if (IsShare(change)) {
    if (change.value.empty() || change.value[0] != '/') {
      return "bad value \"" + change.value + "\" for share: it takes a folder's full path";
    }
    return {};
  }
  const SettingKey* key = FindKey(change.key);
  if (key == nullptr) return "unknown setting " + change.key;
  if (!StoredForm(*key, change.value)) {
    return "bad value \"" + change.value + "\" for " + key->name + ": " + Accepted(*key);
  }
  return {};
}

// The stored row in the form --set takes; a row never written reads as its default.
std::string ShownForm(const SettingKey& key) {
  std::string stored = ReadSetting(key.row);
  switch (key.kind) {
    case Kind::kText:
      return stored;
    case Kind::kBool:
      return SettingIsTrue(stored) ? "yes" : "no";
    case Kind::kQuality:
      return std::to_string(TransVideoQuality.load());
    case Kind::kTypes: {
      // As the scanner reads the row, so what is shown is what it shares.
      FilterTable table;
      FillFilterTable(&table, stored);
      std::string shown;
      for (const std::string& extension : table.Active()) {
        shown += (shown.empty() ? "" : " ") + extension;
      }
      return shown;
    }
    case Kind::kLanguage:
      break;
  }
  for (const LanguageName& language : kLanguages) {
    if (platform::AsciiEqualsNoCase(stored, language.code)) return language.name;
  }
  return stored;
}

}  // namespace

bool ParseSettingAssignment(std::string_view text, SettingChange* change, std::string* error) {
  size_t equals = text.find('=');
  std::string_view key = Trim(text.substr(0, equals));
  if (equals == std::string_view::npos || key.empty()) {
    *error = "\"" + std::string(text) + "\" is not KEY=VALUE";
    return false;
  }
  change->key = std::string(key);
  change->value = std::string(Trim(text.substr(equals + 1)));
  return true;
}

bool ReadSettingsFile(const std::string& path, std::vector<SettingChange>* changes,
                      std::string* error) {
  std::ifstream in(path);
  if (!in) {
    *error = path + ": cannot be read";
    return false;
  }
  std::string line;
  for (int number = 1; std::getline(in, line); ++number) {
    std::string_view text = Trim(line);
    if (text.empty() || text.front() == '#') continue;
    SettingChange change;
    std::string problem;
    if (!ParseSettingAssignment(text, &change, &problem)) {
      problem = "\"" + std::string(text) + "\" is not key = value";
    } else {
      problem = Problem(change);
    }
    if (!problem.empty()) {
      *error = path + ":" + std::to_string(number) + ": " + problem;
      return false;
    }
    changes->push_back(change);
  }
  return true;
}

bool ApplySettingChanges(const std::vector<SettingChange>& changes, std::string* error) {
  for (const SettingChange& change : changes) {
    *error = Problem(change);
    if (!error->empty()) return false;
  }
  for (const SettingChange& change : changes) {
    if (IsShare(change)) continue;  // the start shares them, with a scan
    const SettingKey* key = FindKey(change.key);
    std::string value = *StoredForm(*key, change.value);
    db_setAVP(key->row, value);
    // As the window's Apply: the login entry follows the check box.
    if (key->row == std::string_view(kKeyEnableAutoRun)) {
      platform::SetAutostart(value == "TRUE", ProgramPath());
    }
  }
  ApplyStartupSettings();
  return true;
}

bool GetSettingByName(std::string_view name, std::string* value, std::string* error) {
  if (platform::AsciiEqualsNoCase(name, kShareKey)) {
    value->clear();
    for (const SharedFolderRecord& folder : db_listSharedFolders()) {
      *value += (value->empty() ? "" : "\n") + folder.DirPath;
    }
    return true;
  }
  const SettingKey* key = FindKey(name);
  if (key == nullptr) {
    *error = "unknown setting " + std::string(name);
    return false;
  }
  *value = ShownForm(*key);
  return true;
}

std::string ListSettings() {
  std::string list;
  for (const SettingKey& key : kKeys) list += std::string(key.name) + " = " + ShownForm(key) + "\n";
  for (const SharedFolderRecord& folder : db_listSharedFolders()) {
    list += std::string(kShareKey) + " = " + folder.DirPath + "\n";
  }
  return list;
}

std::vector<std::string> FoldersToShare(const std::vector<SettingChange>& changes) {
  std::vector<std::string> shared;
  for (const SharedFolderRecord& folder : db_listSharedFolders()) {
    shared.emplace_back(platform::WithoutTrailingSlashes(folder.DirPath));
  }
  std::vector<std::string> folders;
  for (const SettingChange& change : changes) {
    if (!IsShare(change)) continue;
    std::string folder(platform::WithoutTrailingSlashes(change.value));
    if (std::find(shared.begin(), shared.end(), folder) == shared.end()) {
      shared.push_back(folder);
      folders.push_back(folder);
    }
  }
  return folders;
}
