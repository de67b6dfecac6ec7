// Tags through TagLib: the text tags, track number and audio properties of every format
// TagLib knows (MP3, WMA/WMV, FLAC, Ogg, MP4/M4A, WAV, AIFF...), and writing the four
// text tags back. Nothing TagLib throws or prints leaves this component.
#pragma once

#include <string>

#include "media/tag_texts.h"

namespace media {

struct TagFileResult {
  // UTF-8 as TagLib decodes the tag (8-bit tags of unknown encoding as ISO 8859-1).
  std::string title;
  std::string album;
  std::string artist;
  std::string genre;
  unsigned track = 0;
  unsigned year = 0;    // 0 when the tags give none
  int lengthMs = 0;     // 0 when unknown
  int bitRateKbps = 0;  // 0 when unknown
  // The file was read as a format that holds only audio and whose tags TagLib reads in
  // full (MP3, FLAC, Ogg Vorbis, Opus or FLAC, APE, WavPack). Not MP4 or ASF, which may
  // hold video, nor WAV or AIFF, whose track number TagLib leaves unread.
  bool audioOnlyFormat = false;
};

// False, with an empty result, when TagLib cannot open `path` as a tagged file.
bool TagFile_Read(const std::string& path, TagFileResult* result);

// The texts to write. The title is always written; the album, artist and genre are
// written when the file already has that tag or when `addMissing` is set.
struct TagFileUpdate {
  WMTagTexts texts;
  bool addMissing = false;
};

// False when the file cannot be opened for writing or saving fails; the file is then
// left as TagLib left it (TagLib writes through a temporary copy only for some formats).
bool TagFile_Write(const std::string& path, const TagFileUpdate& update);

// Silences TagLib's debug output for the whole process; called by the functions above.
void TagFile_Init();

}  // namespace media
