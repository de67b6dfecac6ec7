// The file questions the web handler asks before it serves a path.
#pragma once

#include <cstdint>
#include <string>

// Results of FileIo_Exists.
inline constexpr int kFileIoMissing = 0;
inline constexpr int kFileIoFile = 1;
inline constexpr int kFileIoFolder = 2;

// 0 when nothing is there, 1 for a file, 2 for a folder (which is never served).
int FileIo_Exists(const std::string& path);
// The size in bytes (64-bit); -1 when the file is not found.
int64_t FileIo_GetSize(const std::string& path);
