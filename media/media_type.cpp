#include "media/media_type.h"

#include <cstring>

#include "media/image_size.h"
#include "media/limits.h"
#include "platform/path.h"
#include "platform/text.h"

namespace {

const char* const kOctetStream = "application/octet-stream";

// First match wins; rows a previous row shadows are left out.
const std::vector<MediaTypeMimeRow> kMimeRows = {
    {".mp3", "audio/mpeg"},
    {".wav", "audio/wav"},
    {".raw", "audio/L16;rate=44100;channels=2"},
    {".wma", "audio/x-ms-wma"},
    {".ogg", "audio/x-ogg"},
    {".aac", "audio/mp4"},
    {".flac", "audio/flac"},
    {".m4a", "audio/mp4"},
    {".mp4a", "audio/mp4"},
    {".mkv", "video/x-matroska"},
    {".mka", "audio/mka"},
    {".asx", "audio/x-ms-asx"},
    {".asf", "video/x-ms-asf"},
    {".avi", "video/x-ms-avi"},
    {".vob", "video/vob"},
    {".m2t", "video/mpeg2"},
    {".mts", "video/mpeg2"},
    {".ts", "video/mpeg2"},
    {".m2ts", "video/mpeg2"},
    {".tp", "video/mpeg2"},
    {".mpg", "video/mpg"},
    {".mpg2", "video/mpeg2"},
    {".ifo", "content/DVD"},
    {".iso", "application/X-ISO9660"},
    {".wmv", "video/x-ms-wmv"},
    {".mp4", "video/mp4"},
    {".mov", "video/quicktime"},
    {".jpg", "image/jpeg"},
    {".j2k", "image/j2k"},
    {".jp2", "image/jp2"},
    {".png", "image/png"},
    {".tif", "image/tif"},
    {".gif", "image/gif"},
    {".jpeg", "image/jpeg"},
    {".tb", "image/bmp"},  // the server's own thumbnail files
    {".bmp", "image/bmp"},
    {".m3u", "audio/x-mpegurl"},
    {".pls", "audio/x-mpegurl"},
    {".txt", "text/plain"},
};

const std::vector<MediaTypeClassRow> kClassRows = {
    {".mp3", kClassAudioItem},         {".wav", kClassAudioItem},
    {".raw", kClassAudioItem},         {".pcm", kClassAudioItem},
    {".lpcm", kClassAudioItem},        {".wma", kClassAudioItem},
    {".ogg", kClassAudioItem},         {".aac", kClassAudioItem},
    {".flac", kClassAudioItem},        {".m4a", kClassAudioItem},
    {".mp4a", kClassAudioItem},        {".mkv", kClassVideoItem},
    {".mka", kClassAudioItem},         {".ac3", kClassAudioItem},
    {".avi", kClassVideoItem},         {".vob", kClassVideoItem},
    {".m2t", kClassVideoItem},         {".mts", kClassVideoItem},
    {".ts", kClassVideoItem},          {".m2ts", kClassVideoItem},
    {".tp", kClassVideoItem},          {".mpg2", kClassVideoItem},
    {".ifo", kClassVideoItem},         {".iso", kClassVideoItem},
    {".mpg", kClassVideoItem},         {".mp4", kClassVideoItem},
    {".mpa", kClassVideoItem},         {".asf", kClassVideoItem},
    {".wmv", kClassVideoItem},         {".mov", kClassVideoItem},
    {".jpg", kClassImageItem},         {".j2k", kClassImageItem},
    {".jp2", kClassImageItem},         {".png", kClassImageItem},
    {".jpeg", kClassImageItem},        {".tif", kClassImageItem},
    {".gif", kClassImageItem},         {".bmp", kClassImageItem},
    {".m3u", kClassPlaylistContainer}, {".pls", kClassPlaylistContainer},
    {".asx", kClassPlaylistContainer}, {".dvr-ms", kClassVideoItem},
};

// The extension as the tables see it: with a leading dot, at most the lookup size.
// The extension with its leading dot, in `buffer` (every item of every answer is looked
// up, so no string is made); empty when it is longer than any known one.
std::string_view LookupKey(std::string_view extension,
                           char (&buffer)[media_limits::kExtensionLookupMax + 1]) {
  size_t dot = extension.empty() || extension.front() != '.' ? 1 : 0;
  if (dot + extension.size() > media_limits::kExtensionLookupMax) return {};
  buffer[0] = '.';
  extension.copy(buffer + dot, extension.size());
  return std::string_view(buffer, dot + extension.size());
}

bool KeyMatches(std::string_view key, const char* rowExtension) {
  return !key.empty() && platform::AsciiEqualsNoCase(key, rowExtension);
}

const char* const kJpegSmIco = "DLNA.ORG_PN=JPEG_SM_ICO;DLNA.ORG_OP=01";
const char* const kJpegLrgIco = "DLNA.ORG_PN=JPEG_LRG_ICO;DLNA.ORG_OP=01";
const char* const kJpegTn = "DLNA.ORG_PN=JPEG_TN;DLNA.ORG_OP=01";
const char* const kJpegSm = "DLNA.ORG_PN=JPEG_SM;DLNA.ORG_OP=01";
const char* const kJpegMed = "DLNA.ORG_PN=JPEG_MED;DLNA.ORG_OP=01";
const char* const kJpegLrg = "DLNA.ORG_PN=JPEG_LRG;DLNA.ORG_OP=01";
const char* const kPngTn = "DLNA.ORG_PN=PNG_TN;DLNA.ORG_OP=01";
const char* const kPlainOp = "DLNA.ORG_OP=01";

const char* JpegFourthField(const std::string& path) {
  int w = 0;
  int h = 0;
  // Only pictures are measured. A song's cover is described from the song's own path,
  // which reads as 0 x 0 anyway; handing it to the picture loader would only cost time.
  std::string_view mime = MediaType_MimeForExtension(platform::PathExtension(path));
  bool picture = mime.substr(0, 6) == "image/";
  if (picture && ImageSize(path, &w, &h)) {
    // A readable picture that reports a zero side counts as one pixel wide or high.
    if (w <= 0) w = 1;
    if (h <= 0) h = 1;
  } else {
    w = 0;
    h = 0;
  }
  if (w == 48 && h == 48) return kJpegSmIco;
  if (w == 120 && h == 120) return kJpegLrgIco;
  // Only the width chooses among the size profiles.
  if (w <= 160) return kJpegTn;
  if (w <= 640) return kJpegSm;
  if (w <= 1024) return kJpegMed;
  return kJpegLrg;
}

// The fourth field of every MIME type whose field does not depend on the file.
const char* FixedFourthField(std::string_view mime) {
  if (mime == "video/x-ms-avi") return "DLNA.ORG_PN=AVI;DLNA.ORG_OP=01;DLNA.ORG_CI=01";
  if (mime == "audio/L16;rate=44100;channels=2") return "DLNA.ORG_PN=LPCM;DLNA.ORG_OP=01";
  if (mime == "audio/mpeg") return "DLNA.ORG_PN=MP3;DLNA.ORG_OP=01";
  if (mime == "audio/x-ms-wma") return "DLNA.ORG_PN=WMABASE;DLNA.ORG_OP=01";
  if (mime == "video/mpeg") return "DLNA.ORG_PN=MPEG_PS_NTSC;DLNA.ORG_OP=01";
  if (mime == "video/x-ms-wmv") return "DLNA.ORG_PN=WMVMED_BASE;DLNA.ORG_OP=01";
  if (mime == "audio/mp4") return "DLNA.ORG_PN=AAC_ISO;DLNA.ORG_OP=01";
  return kPlainOp;
}

const char* const kClassMajorNames[] = {
    nullptr,         "album",         "genre",         "person",    "playlistContainer",
    "storageFolder", "storageSystem", "storageVolume", "audioItem", "imageItem",
    "playlistItem",  "textItem",      "videoItem"};
const char* const kClassMinorNames[] = {
    nullptr,       "musicAlbum",     "photoAlbum",     "movieGenre", "musicGenre",
    "musicArtist", "audioBook",      "audioBroadcast", "musicTrack", "photo",
    "movie",       "musicVideoClip", "videoBroadcast"};

}  // namespace

const char* MediaType_MimeForExtension(std::string_view extension) {
  char buffer[media_limits::kExtensionLookupMax + 1];
  std::string_view key = LookupKey(extension, buffer);
  for (const MediaTypeMimeRow& row : kMimeRows) {
    if (KeyMatches(key, row.extension)) return row.mime;
  }
  return kOctetStream;
}

MediaClass MediaType_ClassForExtension(std::string_view extension) {
  char buffer[media_limits::kExtensionLookupMax + 1];
  std::string_view key = LookupKey(extension, buffer);
  for (const MediaTypeClassRow& row : kClassRows) {
    if (KeyMatches(key, row.extension)) return row.mediaClass;
  }
  return kClassItem;
}

const char* MediaType_MimeForStream(std::string_view url, int kind) {
  if (kind == kStreamVideo) {
    if (url.size() >= kIspTvRtspPrefixLength &&
        url.substr(0, kIspTvRtspPrefixLength) ==
            std::string_view(kIspTvRtspPrefix, kIspTvRtspPrefixLength)) {
      return "video/mpeg";
    }
    return "video/x-ms-avi";
  }
  if (kind == kStreamAudio) return "audio/mpeg";
  return kOctetStream;
}

const char* MediaType_DlnaFourthField(const std::string& path, std::string_view mime) {
  if (mime == "image/jpeg") return JpegFourthField(path);
  if (mime == "image/png") return platform::EndsWithNoCase(path, ".png") ? kPngTn : kPlainOp;
  return FixedFourthField(mime);
}

std::vector<std::string> MediaType_PossibleFourthFields(std::string_view mime) {
  if (mime == "image/jpeg") return {kJpegSmIco, kJpegLrgIco, kJpegTn, kJpegSm, kJpegMed, kJpegLrg};
  if (mime == "image/png") return {kPngTn, kPlainOp};
  return {FixedFourthField(mime)};
}

std::string MediaType_ClassString(MediaClass mediaClass) {
  int type = (mediaClass >> 14) & 0x3;
  int major = (mediaClass >> 10) & 0xF;
  int minor = (mediaClass >> 6) & 0xF;
  std::string text;
  if (type == 1) {
    text = "object.container";
  } else if (type == 2) {
    text = "object.item";
  } else {
    return text;
  }
  if (major > 12 || minor > 12) return std::string();
  if (major != 0) {
    text += '.';
    text += kClassMajorNames[major];
  }
  if (minor != 0) {
    text += '.';
    text += kClassMinorNames[minor];
  }
  return text;
}

std::string MediaType_HttpProtocolInfo(std::string_view mime, std::string_view fourth) {
  std::string text = "http-get:*:";
  text.append(mime);
  text += ':';
  text.append(fourth);
  return text;
}

const std::vector<MediaTypeMimeRow>& MediaType_MimeRows() { return kMimeRows; }
const std::vector<MediaTypeClassRow>& MediaType_ClassRows() { return kClassRows; }
