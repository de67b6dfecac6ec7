#include "delivery/file_io.h"

#include "platform/file_info.h"

int FileIo_Exists(const std::string& path) {
  if (platform::DirectoryExists(path)) return kFileIoFolder;
  return platform::FileExists(path) ? kFileIoFile : kFileIoMissing;
}

int64_t FileIo_GetSize(const std::string& path) {
  return FileIo_Exists(path) == kFileIoFile ? platform::FileSize64(path) : -1;
}
