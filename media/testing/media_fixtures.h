// Test fixtures of the media tests: a temporary directory per test and real media files
// made with the ffmpeg command.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace media_test {

// A fresh directory under the system's temporary directory, removed with its contents.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Runs ffmpeg quietly with `args` (after "-y -v error") and returns whether it succeeded.
bool RunFfmpeg(const std::vector<std::string>& args);

// Runs a program with arguments to its end; true when it exited with status 0.
bool RunProgram(const std::vector<std::string>& argv);

// True when a program of that name is found in PATH.
bool HaveProgram(const std::string& name);

// Collects the lines written through platform::Log while it lives.
class LogCapture {
 public:
  LogCapture();
  ~LogCapture();
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;
  std::string Text() const;

 private:
  struct State;
  std::shared_ptr<State> state_;
};

// ASF header pieces, little-endian: a value of `bytes` bytes, an object (GUID, 64-bit size,
// body) and the body of a codec list whose entries carry no codec information of note.
void PutLe(std::vector<uint8_t>* out, uint64_t value, int bytes);
uint64_t GetLe64(const uint8_t* p);
extern const uint8_t kAsfCodecListGuid[16];
std::vector<uint8_t> AsfObject(const uint8_t* guid, const std::vector<uint8_t>& body);
struct AsfCodec {
  uint16_t type;  // 1 video, 2 audio
  std::u16string name;
  std::u16string description;
};
std::vector<uint8_t> AsfCodecListBody(const std::vector<AsfCodec>& entries);

std::vector<uint8_t> ReadFileBytes(const std::string& path);
bool WriteFileBytes(const std::string& path, const std::vector<uint8_t>& data);
bool FileExists(const std::string& path);

// Whether a library whose file name contains `name` (such as "/libvips.so") is mapped into
// this process, from the process's own memory map.
bool LibraryMapped(const std::string& name);

}  // namespace media_test
