// Whole-file reads of small files (descriptions, tables).
#pragma once

#include <cstdint>
#include <string>

// Reads the whole file into `out`. Returns its size, or -1 (out unchanged) when the file
// cannot be opened or read, is not a regular file, or is larger than
// upnp_limits::kFileReadAllMaxBytes.
int64_t FLibFile_ReadAll(const std::string& path, std::string* out);
