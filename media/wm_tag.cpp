#include "media/wm_tag.h"

#include <sys/stat.h>

#include <climits>
#include <mutex>
#include <vector>

#include "media/av_probe.h"
#include "media/byte_source.h"
#include "media/limits.h"
#include "media/tag_file.h"
#include "platform/log.h"
#include "platform/text.h"

namespace {

// Reading while the dialog writes the same file would see half a tag; one lock orders
// every read and write of this component.
std::mutex g_tagMutex;

bool IsRegularFile(const std::string& path) {
  struct stat info;
  return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

std::string CleanText(std::string text) {
  for (char& c : text) {
    if (c == '"') c = ' ';
  }
  platform::Utf8CapInPlace(text, media_limits::kTagTextFieldSize);
  return text;
}

const std::string& FirstNonEmpty(const std::string& a, const std::string& b) {
  return a.empty() ? b : a;
}

int32_t ClampToInt32(int64_t value) {
  if (value < 0) return 0;
  return value > INT32_MAX ? INT32_MAX : static_cast<int32_t>(value);
}

// The leading decimal digits of a tag such as "7" or "7/12"; 0 when there are none
// or they overflow.
uint32_t ParseLeadingNumber(const std::string& text) {
  uint32_t value = 0;
  size_t i = 0;
  while (i < text.size() && text[i] == ' ') ++i;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    uint32_t digit = static_cast<uint32_t>(text[i] - '0');
    if (value > (UINT32_MAX - digit) / 10) return 0;
    value = value * 10 + digit;
  }
  return value;
}

uint32_t ContainerFlags(const std::string& path) {
  uint32_t flags = 0;
  if (platform::EndsWithNoCase(path, ".avi")) {
    media::FileByteSource source(path);
    flags |= media::AviCheck_Flags(source);
  }
  if (platform::EndsWithNoCase(path, ".wmv")) {
    media::FileByteSource source(path);
    std::vector<media::AsfCodecEntry> entries;
    if (media::AsfCodecList_Read(source, &entries)) flags |= media::AsfCodecList_Flags(entries);
  }
  return flags;
}

void FillNumbers(const media::TagFileResult& tags, const media::AvProbeResult& probe,
                 WMTagBlock* block) {
  int64_t durationUs = probe.durationUs > 0 ? probe.durationUs : int64_t{tags.lengthMs} * 1000;
  if (durationUs > 0 && durationUs <= INT64_MAX / 10) {
    block->DurationText = std::to_string(durationUs * 10);
    block->Duration = ClampToInt32(durationUs / 1000000);
  }
  int64_t bitRate = probe.bitRate > 0 ? probe.bitRate : int64_t{tags.bitRateKbps} * 1000;
  if (bitRate > 0) {
    block->Bitrate = ClampToInt32(bitRate);
    block->BitrateText = std::to_string(block->Bitrate);
  }
  // A date tag may be a whole date ("2009-03-20"); its leading number is the year.
  uint32_t year = tags.year > 0 ? tags.year : ParseLeadingNumber(probe.date);
  if (year > 0 && year <= 9999) block->Year = static_cast<int32_t>(year);
  uint32_t track = tags.track > 0 ? tags.track : ParseLeadingNumber(probe.track);
  if (track > 0) {
    block->TrackNo = ClampToInt32(track);
    block->TrackText = std::to_string(block->TrackNo);
  }
}

}  // namespace

void WMTag_Read(const std::string& path, WMTagBlock* block) {
  *block = WMTagBlock();
  if (!IsRegularFile(path)) {
    platform::Logf("Could not open the file %s.\n", path.c_str());
    return;
  }
  std::lock_guard lock(g_tagMutex);
  media::TagFileResult tags;
  media::AvProbeResult probe;
  bool tagsOpened = media::TagFile_Read(path, &tags);
  // What TagLib read of an audio-only format is complete; FFmpeg would only repeat it.
  bool numbersKnown = tagsOpened && tags.lengthMs > 0 && tags.bitRateKbps > 0;
  bool probeOpened =
      !(numbersKnown && tags.audioOnlyFormat) && media::AvProbe_Read(path, &probe, numbersKnown);
  block->Flags = ContainerFlags(path);
  if (!tagsOpened && !probeOpened) {
    platform::Logf("Could not open the file %s.\n", path.c_str());
    return;
  }
  block->Title = CleanText(FirstNonEmpty(tags.title, probe.title));
  block->Album = CleanText(FirstNonEmpty(tags.album, probe.album));
  block->Author = CleanText(FirstNonEmpty(tags.artist, probe.artist));
  block->Genre = CleanText(FirstNonEmpty(tags.genre, probe.genre));
  FillNumbers(tags, probe, block);
}

bool WMTag_Write(const std::string& path, const WMTagBlock& block) {
  media::TagFileUpdate update;
  update.texts = block;
  update.addMissing = block.FileType == "Audio";
  std::lock_guard lock(g_tagMutex);
  if (!IsRegularFile(path) || !media::TagFile_Write(path, update)) {
    platform::Logf("Could not write the tags of the file %s.\n", path.c_str());
    return false;
  }
  return true;
}
