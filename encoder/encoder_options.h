// The encoder program's command line: the option texts of the server's quality and
// profile tables, the "mmap:" output and the source, turned into one conversion job and
// the converter's arguments for it.
#pragma once

#include <string>
#include <vector>

enum class EncoderContainer { kAvi, kMpegProgram, kMp3 };
enum class EncoderStream { kEncode, kCopy, kNone };

struct EncoderJob {
  std::string source;      // file path or URL
  std::string sharedName;  // the shared area's name, without "mmap:" and backslashes
  EncoderContainer container = EncoderContainer::kAvi;
  EncoderStream video = EncoderStream::kEncode;
  EncoderStream audio = EncoderStream::kEncode;
  std::string videoTag = "XVID";
  int videoKbps = 1500;
  int scaleWidth = 0;  // 0: keep the source's size
  int scaleHeight = 0;
};

// Parses the arguments after the program name. On failure returns false and says why in
// `*error`; nothing is guessed from an option it does not know.
bool ParseEncoderArguments(const std::vector<std::string>& args, EncoderJob* job,
                           std::string* error);

// The converter's arguments (without the program name) for `job`, writing the stream to
// its standard output.
std::vector<std::string> ConverterArguments(const EncoderJob& job);
