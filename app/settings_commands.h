// The settings a user without the window reads and changes by name (--settings, --get,
// --set): the server name, the check boxes of the Options page, the read-ahead, the
// transcoding quality, the language and the shared file types; a configuration file may
// also name folders to share. Values are checked before anything is stored.
#pragma once

#include <string>
#include <string_view>
#include <vector>

struct SettingChange {
  std::string key;
  std::string value;
};

// Splits "KEY=VALUE" (blanks around either are dropped). False with a message for text
// that has no "=" or no key; the key and value are checked when applied.
bool ParseSettingAssignment(std::string_view text, SettingChange* change, std::string* error);

// Checks every change, then stores them all as the window's Apply does (the autostart
// entry follows "autostart"). False with a message naming the first bad key or value, and
// nothing stored.
bool ApplySettingChanges(const std::vector<SettingChange>& changes, std::string* error);

// The stored value of `key` in the form --set takes. False for an unknown key.
bool GetSettingByName(std::string_view key, std::string* value, std::string* error);

// The configuration file read at start-up when present.
inline constexpr const char* kDefaultConfigFile = "/etc/orvex/orvex.conf";

// Reads a configuration file: "key = value" lines with the keys of --set; blank lines and
// lines starting with "#" are skipped. Every line is checked; false with "FILE:LINE: why"
// for the first bad one, or for a file that cannot be read.
bool ReadSettingsFile(const std::string& path, std::vector<SettingChange>* changes,
                      std::string* error);

// Every key with its value, "key = value", one a line, then a "share = DIR" line for each
// shared folder, so the list reads back as a configuration file.
std::string ListSettings();

// A configuration file's "share = DIR" lines are folders to share; the start shares each
// one not shared yet (--share and --unshare change the list from the command line, and
// --set does not take them).
inline constexpr const char* kShareKey = "share";
std::vector<std::string> FoldersToShare(const std::vector<SettingChange>& changes);
