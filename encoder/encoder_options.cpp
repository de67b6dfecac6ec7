#include "encoder/encoder_options.h"

#include <algorithm>
#include <charconv>
#include <string_view>

#include "transcode/transcode_ring.h"

namespace {

constexpr int kMaxKbps = 100000;
constexpr int kMaxScaleSide = 8192;
constexpr std::string_view kMmapPrefix = "mmap:";

bool ParseInt(std::string_view text, int low, int high, int* out) {
  int value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size()) return false;
  if (value < low || value > high) return false;
  *out = value;
  return true;
}

bool IsFourCc(std::string_view tag) {
  return tag.size() == 4 && std::all_of(tag.begin(), tag.end(), [](char c) {
           return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
         });
}

// "mmap:NAME", where NAME may follow backslashes or slashes as a Windows-style path.
bool ParseOutput(std::string_view text, EncoderJob* job) {
  if (text.substr(0, kMmapPrefix.size()) != kMmapPrefix) return false;
  text.remove_prefix(kMmapPrefix.size());
  while (!text.empty() && (text.front() == '\\' || text.front() == '/')) text.remove_prefix(1);
  if (!transcode::IsValidSharedName(text)) return false;
  job->sharedName = std::string(text);
  return true;
}

// The bit rate inside "a:b=1:bitrate=1500:c"; other sub-options are tuning we leave to
// the converter's defaults.
bool ParseXvidOptions(std::string_view text, EncoderJob* job) {
  while (!text.empty()) {
    size_t colon = text.find(':');
    std::string_view item = text.substr(0, colon);
    if (item.substr(0, 8) == "bitrate=" && !ParseInt(item.substr(8), 1, kMaxKbps, &job->videoKbps))
      return false;
    if (colon == std::string_view::npos) break;
    text.remove_prefix(colon + 1);
  }
  return true;
}

bool ParseScale(std::string_view text, EncoderJob* job) {
  if (text.substr(0, 6) != "scale=") return false;
  text.remove_prefix(6);
  size_t colon = text.find(':');
  if (colon == std::string_view::npos) return false;
  return ParseInt(text.substr(0, colon), 1, kMaxScaleSide, &job->scaleWidth) &&
         ParseInt(text.substr(colon + 1), 1, kMaxScaleSide, &job->scaleHeight);
}

bool ParseStream(std::string_view text, std::string_view encodeName, EncoderStream* out) {
  if (text == encodeName) {
    *out = EncoderStream::kEncode;
  } else if (text == "copy") {
    *out = EncoderStream::kCopy;
  } else {
    return false;
  }
  return true;
}

// Applies one option with its value; false when the option or the value is not one the
// server forms.
bool ApplyOption(std::string_view option, std::string_view value, EncoderJob* job) {
  if (option == "-i") {
    job->source = std::string(value);
    return !value.empty();
  }
  if (option == "-o") return ParseOutput(value, job);
  if (option == "-f" || option == "-of") {
    if (value == "mp3") {
      job->container = EncoderContainer::kMp3;
      job->video = EncoderStream::kNone;
    } else if (value == "avi") {
      job->container = EncoderContainer::kAvi;
    } else if (value == "mpeg") {
      job->container = EncoderContainer::kMpegProgram;
    } else {
      return false;
    }
    return true;
  }
  if (option == "-mpegopts") return value == "format=dvd";
  if (option == "-ovc") return ParseStream(value, "xvid", &job->video);
  if (option == "-vcodec") return ParseStream(value, "mpeg4", &job->video);
  if (option == "-oac") return ParseStream(value, "mp3lame", &job->audio);
  if (option == "-acodec") return ParseStream(value, "mp3", &job->audio);
  if (option == "-ffourcc" || option == "-vtag") {
    if (!IsFourCc(value)) return false;
    job->videoTag = std::string(value);
    return true;
  }
  if (option == "-xvidencopts") return ParseXvidOptions(value, job);
  if (option == "-b") return ParseInt(value, 1, kMaxKbps, &job->videoKbps);
  if (option == "-vf") return ParseScale(value, job);
  return false;
}

}  // namespace

bool ParseEncoderArguments(const std::vector<std::string>& args, EncoderJob* job,
                           std::string* error) {
  *job = EncoderJob{};
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg.size() > 1 && arg[0] == '-') {
      if (i + 1 >= args.size()) {
        *error = "option " + arg + " needs a value";
        return false;
      }
      if (!ApplyOption(arg, args[i + 1], job)) {
        *error = "option " + arg + " with value \"" + args[i + 1] + "\" is not supported";
        return false;
      }
      ++i;
    } else if (arg.substr(0, kMmapPrefix.size()) == kMmapPrefix) {
      if (!ParseOutput(arg, job)) {
        *error = "bad output " + arg;
        return false;
      }
    } else if (job->source.empty() && !arg.empty()) {
      job->source = arg;
    } else {
      *error = "unexpected argument \"" + arg + "\"";
      return false;
    }
  }
  if (job->source.empty()) {
    *error = "no source given";
    return false;
  }
  if (job->sharedName.empty()) {
    *error = "no mmap: output given";
    return false;
  }
  if (job->container == EncoderContainer::kMp3 && job->audio == EncoderStream::kCopy) {
    *error = "an MP3 stream is always encoded";
    return false;
  }
  return true;
}

std::vector<std::string> ConverterArguments(const EncoderJob& job) {
  std::vector<std::string> args = {"-nostdin", "-hide_banner", "-loglevel",
                                   "error",    "-i",           job.source};
  if (job.container == EncoderContainer::kMp3) {
    args.insert(args.end(), {"-map", "0:a:0", "-vn", "-c:a", "libmp3lame", "-f", "mp3", "pipe:1"});
    return args;
  }
  if (job.video != EncoderStream::kNone) args.insert(args.end(), {"-map", "0:v:0?"});
  args.insert(args.end(), {"-map", "0:a:0?"});
  if (job.video == EncoderStream::kCopy) {
    args.insert(args.end(), {"-c:v", "copy"});
  } else if (job.video == EncoderStream::kEncode) {
    args.insert(args.end(), {"-c:v", "mpeg4", "-vtag", job.videoTag, "-b:v",
                             std::to_string(job.videoKbps) + "k", "-pix_fmt", "yuv420p"});
    if (job.scaleWidth > 0) {
      args.insert(args.end(), {"-vf", "scale=" + std::to_string(job.scaleWidth) + ":" +
                                          std::to_string(job.scaleHeight)});
    }
  }
  if (job.audio == EncoderStream::kCopy) {
    args.insert(args.end(), {"-c:a", "copy"});
  } else {
    args.insert(args.end(), {"-c:a", "libmp3lame"});
  }
  args.insert(args.end(),
              {"-f", job.container == EncoderContainer::kMpegProgram ? "dvd" : "avi", "pipe:1"});
  return args;
}
