// Media tags for the scanner and the media information dialog: title, album, author,
// genre, track number, duration and bit rate of audio and video files, and the flag word
// that marks files clients may not play as they are. TagLib reads and writes the text
// tags; FFmpeg gives the numbers of every container and the tags TagLib cannot read.
#pragma once

#include <cstdint>
#include <string>

#include "media/asf_codec_list.h"
#include "media/avi_check.h"
#include "media/tag_texts.h"

// The flag word bits (also the values the scanner stores in the item's Flags column):
//   kWMTagFlagForeignAviCodec (0x80)  an AVI whose video codec is not DIV3/4/5, DIVX, XVID
//   kWMTagFlagProfessionalWmv (0x100) a ".wmv" whose WMV3 video is described "Professional"

// The text tags (the base) are UTF-8, at most 1,023 bytes each (never cut inside a
// character); double quotes of the tag are replaced by blanks, because the library forms
// its SQL texts with them.
struct WMTagBlock : WMTagTexts {
  // Short texts, each at most 127 bytes: the duration as a count of
  // 100-nanosecond units, the bit rate in bits per second and the track number, all
  // decimal; empty when the file does not tell.
  std::string DurationText;
  std::string BitrateText;
  std::string TrackText;

  // Kept for the block's layout; nothing on this platform fills it.
  std::string StreamTypeInfo;

  // The kind word of the file, set by the caller of WMTag_Write ("Audio" for music).
  std::string FileType;

  uint32_t Flags = 0;

  // The same numbers parsed, as the library stores them: duration in whole seconds
  // (rounded down), bit rate in bits per second, track number; 0 when unknown.
  int32_t Duration = 0;
  int32_t Bitrate = 0;
  int32_t TrackNo = 0;
  // The year the tags give (1 to 9999); 0 when they give none.
  int32_t Year = 0;
};

// Fills `block` with the tags of the file at `path` (UTF-8). A file that neither TagLib
// nor FFmpeg can open, that is not a regular file, or that does not exist, yields an
// empty block (an AVI may still carry its flag). Safe from any thread; calls are
// serialised with each other and with WMTag_Write.
void WMTag_Read(const std::string& path, WMTagBlock* block);

// Writes Title, Album, Author and Genre of `block` into the file. The title is always
// written; the other three are changed where the file has them, and added where it does
// not when block.FileType is "Audio". Returns false (and logs why) when the file cannot
// be written; a format TagLib cannot write (AVI, Matroska, MPEG) is such a file.
bool WMTag_Write(const std::string& path, const WMTagBlock& block);
