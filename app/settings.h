// Settings: the attribute/value rows of the library, their defaults, the values derived
// from them at start-up, and the four file-type filter tables the scanner matches.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// Keys.
inline constexpr const char* kKeyServerName = "ServerName";
inline constexpr const char* kKeyRunFirstTime = "RunFirstTime";
inline constexpr const char* kKeyEnableAutoRun = "EnableAutoRun";
inline constexpr const char* kKeyMinimizedAtStartUp = "MinimizedAtStartUp";
inline constexpr const char* kKeyTranscodingEnable = "TranscodingEnable";
inline constexpr const char* kKeyPreCacheEnable = "PreCacheEnable";
inline constexpr const char* kKeyTransVideoQuality = "TransVideoQuality";
inline constexpr const char* kKeyVideoFilter = "VideoFilter";
inline constexpr const char* kKeyAudioFilter = "AudioFilter";
inline constexpr const char* kKeyImageFilter = "ImageFilter";
inline constexpr const char* kKeyPlaylistFilter = "PlaylistFilter";
inline constexpr const char* kKeyLanguage = "Language";
// The device's identity, made once (app/service.h).
inline constexpr const char* kKeyUdn = "UDN";
inline constexpr const char* kKeySerialNumber = "SerialNumber";

// The name announced when "ServerName" is empty, and the first-run default.
inline constexpr const char* kFallbackServerName = "Orvex test Digital Media Server";
inline constexpr const char* kFirstRunServerName = "Orvex DMS";

// Values applied at start-up (and TranscodingEnable again by ApplyOptions).
extern std::atomic<int> TranscodingEnable;
extern std::atomic<int> PreCacheEnable;
// Always 0, 1 or 2: a stored value outside the quality table selects row 0.
extern std::atomic<int> TransVideoQuality;
inline constexpr int kTransVideoQualityRows = 3;

// True when `value` begins with "TRUE" in any case (only four characters are compared).
bool SettingIsTrue(std::string_view value);

// Reads a setting as text; empty when the row is missing or empty.
std::string ReadSetting(std::string_view key);
// Reads a boolean setting by the four-character rule.
bool ReadBoolSetting(std::string_view key);
// Fills TranscodingEnable, PreCacheEnable and TransVideoQuality from the library.
void ApplyStartupSettings();

// ---- Filter tables ----

// Bits for ExtensionInFilters: which tables to search.
inline constexpr int kFilterVideo = 1;
inline constexpr int kFilterAudio = 2;
inline constexpr int kFilterImage = 4;
inline constexpr int kFilterPlaylist = 8;

// One table: 30 slots of up to 9 characters each (with the dot). The list ends at the
// first empty slot, so at most 29 extensions are active.
inline constexpr size_t kFilterSlots = 30;
inline constexpr size_t kFilterExtensionMax = 9;
// The walk over a stored list stops after this many characters.
inline constexpr size_t kFilterRowMax = 255;

struct FilterTable {
  std::array<std::string, kFilterSlots> slots;
  // True when `extension` (dot included) equals a slot before the first empty one,
  // without regard to case.
  bool Matches(std::string_view extension) const;
  // The active extensions (up to the first empty slot).
  std::vector<std::string> Active() const;
};

// The four tables, in the order video, audio, image, playlist.
enum FilterKind { kVideoTable = 0, kAudioTable = 1, kImageTable = 2, kPlaylistTable = 3 };
FilterTable& Filter(FilterKind kind);

// Fills one table from a stored value: a space ends a slot, two spaces make an empty
// slot (which ends the list), the walk stops after 255 characters, extensions longer
// than the slot are cut and slots past the table are dropped.
void FillFilterTable(FilterTable* table, std::string_view value);

// Fills the four tables from their stored rows; a table whose row is missing keeps what
// it holds.
void LoadFilterTables();
// Clears the tables and fills them with the default lists.
void ResetFilterTables();
// True when the extension (dot included) is in any of the tables named by `tables`
// (kFilterVideo | kFilterAudio ...).
bool ExtensionInFilters(std::string_view extension, int tables);

// ---- Options page ----

// Stores the three check boxes, writes or removes the autostart entry, sets the running
// TranscodingEnable, and stores the running TransVideoQuality back.
void ApplyOptions(bool autoRun, bool minimized, bool transcoding);

// The program path the autostart entry starts (the running executable).
std::string ProgramPath();

// ---- Server name ----

inline constexpr const char* kInvalidServerNameTitle = "Invalid Server Name";
inline constexpr const char* kInvalidServerNameMsg =
    "Server name cannot be empty string or contain \\/:*?\"<>|";
// False for an empty name or one holding any of \ / : * ? " < > |.
bool IsValidServerName(std::string_view name);
