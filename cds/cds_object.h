// One container or item of a Browse or Search answer, with its resources. Objects own
// their texts; an absent optional text is an empty std::optional.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "media/media_type.h"

// One res element. Numbers below 0 are absent.
struct CdsMediaResource {
  std::string uri;
  std::string protocolInfo;
  int32_t resolutionX = -1;
  int32_t resolutionY = -1;
  int32_t duration = -1;  // seconds
  int32_t bitrate = -1;   // bits per second; written as bytes per second
  int32_t colorDepth = -1;
  int64_t size = -1;  // bytes
  int32_t bitsPerSample = -1;
  int32_t sampleFrequency = -1;
  int32_t nrAudioChannels = -1;
  std::optional<std::string> protection;
};

// Object flags.
inline constexpr uint32_t kCdsObjectRestricted = 0x1;
inline constexpr uint32_t kCdsObjectSearchable = 0x2;

struct CdsMediaObject {
  std::string id;
  std::string parentID;
  std::string refID;  // empty when the item refers to nothing
  std::string title;
  std::optional<std::string> creator;
  std::optional<std::string> album;
  std::optional<std::string> genre;
  std::string date;  // "YYYY-MM-DD" or empty
  // Music tracks only: the performer and the track number (-1 when unknown).
  std::optional<std::string> artist;
  int32_t originalTrackNumber = -1;
  // Videos only: the URL of the subtitle beside the video and its format ("srt").
  std::string captionUri;
  std::string captionType;
  MediaClass mediaClass = 0;
  int32_t childCount = 0;
  uint32_t flags = 0;
  std::vector<CdsMediaResource> resources;
};
