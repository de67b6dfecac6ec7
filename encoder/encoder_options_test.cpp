#include "encoder/encoder_options.h"

#include <algorithm>

#include "gtest/gtest.h"
#include "platform/process.h"
#include "transcode/transcode_rules.h"
#include "transcode/transcode_session.h"

namespace {

// Splits a command line as the program receives it and parses it.
bool ParseLine(const std::string& line, EncoderJob* job, std::string* error) {
  std::vector<std::string> args = platform::SplitCommandLine(line);
  if (args.empty()) return false;
  args.erase(args.begin());
  return ParseEncoderArguments(args, job, error);
}

bool Contains(const std::vector<std::string>& args, std::vector<std::string> run) {
  return std::search(args.begin(), args.end(), run.begin(), run.end()) != args.end();
}

// The plain video and audio lines are proven end to end by the first-light test, which
// probes what the encoder sent; the prefixed sources' forms are checked here.
TEST(EncoderOptions, EveryLineTheServerFormsBecomesItsConversion) {
  Transcode_SetConfig(Transcode_DefaultConfig());
  const std::pair<std::string, std::vector<std::string>> cases[] = {
      {"http://www.youtube.com/get?id=1", {"-vf", "scale=320:240"}},
      {"rtsp://iptv.home/ch", {"-c:a", "copy", "-f", "dvd", "pipe:1"}},
  };
  for (const auto& [source, expected] : cases) {
    std::string line =
        Transcode_FormCommandLine(source, TranscodeMode::kVideo, "_tarnwick_trans_012");
    EncoderJob job;
    std::string error;
    ASSERT_TRUE(ParseLine(line, &job, &error)) << line << ": " << error;
    EXPECT_EQ(job.source, source);
    EXPECT_EQ(job.sharedName, "_tarnwick_trans_012");
    std::vector<std::string> args = ConverterArguments(job);
    EXPECT_TRUE(Contains(args, {"-i", source}));
    EXPECT_TRUE(Contains(args, expected)) << line;
  }
  // The quality table's option texts are understood as well.
  for (const TranscodeQualityRow& row : kTranscodeQualityRows) {
    EncoderJob job;
    std::string error;
    ASSERT_TRUE(ParseLine(std::string("ZerazU.eng ") + row.options + " mmap:x /m/a", &job, &error))
        << row.name << ": " << error;
    EXPECT_TRUE(Contains(ConverterArguments(job),
                         {"-vtag", "divx", "-b:v", std::to_string(job.videoKbps) + "k"}));
  }
}

TEST(EncoderOptions, LinesTheServerNeverFormsAreRefused) {
  const char* lines[] = {
      "ZerazU.eng -i /m/a -f mp3",                         // no output
      "ZerazU.eng -f mp3 mmap:s",                          // no source
      "ZerazU.eng -i /m/a -f mp3 mmap:../../etc/x",        // a path for a name
      "ZerazU.eng -i /m/a -f wav mmap:s",                  // unknown format
      "ZerazU.eng -ovc h264 -o mmap:s /m/a",               // unknown codec
      "ZerazU.eng -ffourcc XV;D -o mmap:s /m/a",           // not a four-character code
      "ZerazU.eng -b 99999999999 -o mmap:s /m/a",          // bit rate overflows
      "ZerazU.eng -xvidencopts bitrate=0 -o mmap:s /m/a",  // bit rate out of range
      "ZerazU.eng -vf scale=320x240 -o mmap:s /m/a",       // malformed scale
      "ZerazU.eng -o mmap:s /m/a /m/b",                    // two sources
      "ZerazU.eng -o mmap:s /m/a -vtag",                   // option without value
  };
  for (const char* line : lines) {
    EncoderJob job;
    std::string error;
    EXPECT_FALSE(ParseLine(line, &job, &error)) << line;
    EXPECT_FALSE(error.empty()) << line;
  }
}

}  // namespace
