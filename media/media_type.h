// The fixed tables that type a shared file by its extension: MIME type, UPnP class and
// the DLNA fourth field of its protocolInfo. A file's contents are never inspected for
// typing, with one exception: a JPEG picture's pixel size chooses its DLNA profile.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// The 16-bit code of a UPnP class: bits 15-14 object type, 13-10 major class, 9-6 minor
// class, 5-0 a fourth level that is always 0.
using MediaClass = uint16_t;

inline constexpr MediaClass kClassContainer = 0x4000;
inline constexpr MediaClass kClassPlaylistContainer = 0x5000;
inline constexpr MediaClass kClassStorageFolder = 0x5400;
inline constexpr MediaClass kClassItem = 0x8000;
inline constexpr MediaClass kClassAudioItem = 0xA000;
inline constexpr MediaClass kClassMusicTrack = 0xA200;
inline constexpr MediaClass kClassImageItem = 0xA400;
inline constexpr MediaClass kClassVideoItem = 0xB000;

// The RTSP address prefix of the internet TV provider's server: streams that begin with
// it are announced as MPEG program streams. Compared over its first 16 bytes.
inline constexpr const char* kIspTvRtspPrefix = "rtsp://iptv.home";
inline constexpr size_t kIspTvRtspPrefixLength = 16;

// Kinds of internet streams.
inline constexpr int kStreamVideo = 1;
inline constexpr int kStreamAudio = 2;

// MIME type of a file extension ("mp3" and ".MP3" alike); never empty.
const char* MediaType_MimeForExtension(std::string_view extension);
// UPnP class of a file extension.
MediaClass MediaType_ClassForExtension(std::string_view extension);
// MIME type of an internet stream of the given kind.
const char* MediaType_MimeForStream(std::string_view url, int kind);
// The fourth protocolInfo field of a file (UTF-8 path) of the given MIME type.
const char* MediaType_DlnaFourthField(const std::string& path, std::string_view mime);

// The class string of a code ("object.item.audioItem"); empty for a code whose fields
// name no class.
std::string MediaType_ClassString(MediaClass mediaClass);

// "http-get:*:" + mime + ":" + fourth.
std::string MediaType_HttpProtocolInfo(std::string_view mime, std::string_view fourth);

// The table rows, for code that must reason about every possible type (search).
struct MediaTypeMimeRow {
  const char* extension;
  const char* mime;
};
struct MediaTypeClassRow {
  const char* extension;
  MediaClass mediaClass;
};
const std::vector<MediaTypeMimeRow>& MediaType_MimeRows();
const std::vector<MediaTypeClassRow>& MediaType_ClassRows();
// Every fourth field a file of this MIME type may carry, whatever its contents.
std::vector<std::string> MediaType_PossibleFourthFields(std::string_view mime);
