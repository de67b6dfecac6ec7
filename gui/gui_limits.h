// Limits and periods of the window and the language table, in one place.
#pragma once

#include <cstddef>
#include <cstdint>

// Entries kept per language section; later ones are dropped, not stored past the table.
inline constexpr size_t kLanguageEntriesMax = 1024;
// Language files larger than this are not read (the real ones are a few kilobytes).
inline constexpr uint64_t kLanguageFileMaxBytes = 4 * 1024 * 1024;

// The period of the window's duties: service state, scan progress, transfer list.
inline constexpr int kWindowTickMs = 250;
// The window's minimum and initial size.
inline constexpr int kWindowMinWidth = 800;
inline constexpr int kWindowMinHeight = 600;

// The server name shown on the System tab, in bytes with the terminator of the
// fixed-size field it fills.
inline constexpr size_t kServerNameShownBytes = 766;

// Rows of the transfer list; the oldest row leaves when a new one would pass this.
inline constexpr int kTransferListRows = 100;
// Widths in pixels of the transfer list's columns: file, client, progress, URL.
inline constexpr int kTransferColumnWidths[4] = {250, 150, 150, 100};
