#include "media/tag_file.h"

#include <taglib/apefile.h>
#include <taglib/fileref.h>
#include <taglib/flacfile.h>
#include <taglib/mpegfile.h>
#include <taglib/mpegheader.h>
#include <taglib/oggflacfile.h>
#include <taglib/opusfile.h>
#include <taglib/tag.h>
#include <taglib/tdebuglistener.h>
#include <taglib/tpropertymap.h>
#include <taglib/vorbisfile.h>
#include <taglib/wavpackfile.h>

#include <cstdlib>
#include <mutex>

#include "platform/log.h"

namespace media {
namespace {

class SilentListener : public TagLib::DebugListener {
 public:
  void printMessage(const TagLib::String&) override {}
};

std::string ToUtf8(const TagLib::String& text) { return text.to8Bit(true); }
TagLib::String FromUtf8(const std::string& text) {
  return TagLib::String(text, TagLib::String::UTF8);
}

// The average of an MP3 with a frame-count header counts that header's own frame, so a
// constant-rate file comes out a little above the rate its frames state (129 for 128). When
// the average is that close to the first frame's stated rate, the stated rate is the truth.
int MpegStatedRate(TagLib::MPEG::File* file, int averageKbps) {
  const TagLib::MPEG::Properties* properties = file->audioProperties();
  if (properties == nullptr || properties->xingHeader() == nullptr) return averageKbps;
  long offset = file->firstFrameOffset();
  if (offset < 0) return averageKbps;
  TagLib::MPEG::Header first(file, offset, false);
  if (!first.isValid() || std::abs(first.bitrate() - averageKbps) > 1) return averageKbps;
  return first.bitrate();
}

bool IsAudioOnlyFormat(TagLib::File* file) {
  return dynamic_cast<TagLib::MPEG::File*>(file) != nullptr ||
         dynamic_cast<TagLib::FLAC::File*>(file) != nullptr ||
         dynamic_cast<TagLib::Ogg::Vorbis::File*>(file) != nullptr ||
         dynamic_cast<TagLib::Ogg::Opus::File*>(file) != nullptr ||
         dynamic_cast<TagLib::Ogg::FLAC::File*>(file) != nullptr ||
         dynamic_cast<TagLib::APE::File*>(file) != nullptr ||
         dynamic_cast<TagLib::WavPack::File*>(file) != nullptr;
}

bool ReadUnguarded(const std::string& path, TagFileResult* result) {
  TagLib::FileRef file(path.c_str(), true, TagLib::AudioProperties::Average);
  if (file.isNull()) return false;
  if (const TagLib::Tag* tag = file.tag()) {
    result->title = ToUtf8(tag->title());
    result->album = ToUtf8(tag->album());
    result->artist = ToUtf8(tag->artist());
    result->genre = ToUtf8(tag->genre());
    result->track = tag->track();
    result->year = tag->year();
  }
  if (const TagLib::AudioProperties* properties = file.audioProperties()) {
    result->lengthMs = std::max(0, properties->lengthInMilliseconds());
    result->bitRateKbps = std::max(0, properties->bitrate());
  }
  result->audioOnlyFormat = IsAudioOnlyFormat(file.file());
  if (auto* mpeg = dynamic_cast<TagLib::MPEG::File*>(file.file())) {
    result->bitRateKbps = MpegStatedRate(mpeg, result->bitRateKbps);
  }
  return true;
}

bool WriteUnguarded(const std::string& path, const TagFileUpdate& update) {
  TagLib::FileRef file(path.c_str(), false);
  if (file.isNull() || file.tag() == nullptr || file.file()->readOnly()) return false;
  const TagLib::PropertyMap present = file.file()->properties();
  TagLib::Tag* tag = file.tag();
  const WMTagTexts& texts = update.texts;
  tag->setTitle(FromUtf8(texts.Title));
  if (update.addMissing || present.contains("ALBUM")) tag->setAlbum(FromUtf8(texts.Album));
  if (update.addMissing || present.contains("ARTIST")) tag->setArtist(FromUtf8(texts.Author));
  if (update.addMissing || present.contains("GENRE")) tag->setGenre(FromUtf8(texts.Genre));
  return file.save();
}

}  // namespace

void TagFile_Init() {
  static std::once_flag once;
  static SilentListener listener;
  std::call_once(once, [] { TagLib::setDebugListener(&listener); });
}

bool TagFile_Read(const std::string& path, TagFileResult* result) {
  *result = TagFileResult();
  TagFile_Init();
  try {
    if (ReadUnguarded(path, result)) return true;
  } catch (const std::exception& e) {
    platform::Logf("TagLib failed on %s: %s\n", path.c_str(), e.what());
  } catch (...) {
    platform::Logf("TagLib failed on %s\n", path.c_str());
  }
  *result = TagFileResult();
  return false;
}

bool TagFile_Write(const std::string& path, const TagFileUpdate& update) {
  TagFile_Init();
  try {
    return WriteUnguarded(path, update);
  } catch (const std::exception& e) {
    platform::Logf("TagLib failed on %s: %s\n", path.c_str(), e.what());
  } catch (...) {
    platform::Logf("TagLib failed on %s\n", path.c_str());
  }
  return false;
}

}  // namespace media
