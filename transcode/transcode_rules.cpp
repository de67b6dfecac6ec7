#include "transcode/transcode_rules.h"

#include "app/settings.h"
#include "library/library.h"
#include "library/statements.h"
#include "media/media_type.h"
#include "platform/path.h"
#include "platform/text.h"

const TranscodeQualityRow kTranscodeQualityRows[kTranscodeQualityRowCount] = {
    {"Mpeg4 1.5M Bit-Rate", "-vcodec mpeg4 -f avi -b 1500 -vtag divx -acodec mp3", "video/x-ms-avi",
     "http-get:*:video/x-ms-avi:*"},
    {"Mpeg4 3.0M Bit-Rate", "-vcodec mpeg4 -f avi -b 3000 -vtag divx -acodec mp3", "video/x-ms-avi",
     "http-get:*:video/x-ms-avi:*"},
    {"Mpeg4 5.0M Bit-Rate", "-vcodec mpeg4 -f avi -b 5000 -vtag divx -acodec mp3", "video/x-ms-avi",
     "http-get:*:video/x-ms-avi:*"},
};

namespace {

bool OneOf(std::string_view mime, std::initializer_list<const char*> list) {
  for (const char* entry : list) {
    if (platform::AsciiEqualsNoCase(mime, entry)) return true;
  }
  return false;
}

}  // namespace

const TranscodeQualityRow& Transcode_SelectedQuality() {
  int row = TransVideoQuality.load(std::memory_order_acquire);
  if (row < 0 || row >= kTranscodeQualityRowCount) row = 0;
  return kTranscodeQualityRows[row];
}

uint32_t Transcode_RulesState() {
  uint32_t enabled = TranscodingEnable.load(std::memory_order_acquire) == 1 ? 1 : 0;
  auto quality = static_cast<uint32_t>(TransVideoQuality.load(std::memory_order_acquire));
  return enabled | (quality << 1);
}

int Transcode_NeedsTranscodeByMime(std::string_view mime) {
  // These formats are always converted; most clients cannot play them at all.
  if (OneOf(mime, {"video/x-ms-wmv", "video/mp4", "video/quicktime", "audio/x-ogg"})) return 1;
  if (TranscodingEnable.load(std::memory_order_acquire) == 1 &&
      OneOf(mime, {"video/mpg", "video/mpa", "video/x-ms-avi", "video/vob", "video/ts",
                   "video/m2ts", "video/tp", "video/x-ms-asf", "video/mpeg"})) {
    return 1;
  }
  return 0;
}

int Transcode_IsMarkedAvi(const std::string& path) {
  std::string_view extension = platform::PathExtension(path);
  if (!platform::AsciiEqualsNoCase(extension, ".avi")) return 0;
  MediaRecord record;
  if (db_getOneRecord(sql::ByPath(path), &record) <= 0) return 0;
  return (record.Flags & kFlagNonDivxAvi) != 0 ? 1 : 0;
}

int Transcode_NeedsTranscode(const std::string& path) {
  if (Transcode_IsMarkedAvi(path)) return 1;
  return Transcode_NeedsTranscodeByMime(MediaType_MimeForExtension(platform::PathExtension(path)));
}

std::string Transcode_OutputMime(std::string_view mime) {
  if (OneOf(mime, {"video/mpg", "video/mp4", "video/mpa", "video/x-ms-avi", "video/vob", "video/ts",
                   "video/m2ts", "video/tp", "video/x-ms-asf", "video/x-ms-wmv", "video/mpeg",
                   "video/quicktime"})) {
    return Transcode_SelectedQuality().outputMime;
  }
  if (OneOf(mime, {"audio/x-ogg"})) return "audio/mpeg";
  return std::string(mime);
}

std::string Transcode_FourthFieldOfOutput(std::string_view outputMime) {
  // The stream is made while it is sent: its length is unknown, so a client can neither
  // seek in bytes nor in time, and it is converted content. Only MP3 output matches a
  // DLNA profile; the AVI and MPEG forms carry whatever codecs the encoder copies or
  // makes, which no profile describes.
  if (platform::AsciiEqualsNoCase(outputMime, "audio/mpeg"))
    return "DLNA.ORG_PN=MP3;DLNA.ORG_OP=00;DLNA.ORG_CI=1";
  return "DLNA.ORG_OP=00;DLNA.ORG_CI=1";
}

std::string Transcode_OutputFourthField(const std::string& /*path*/, std::string_view mime) {
  return Transcode_FourthFieldOfOutput(Transcode_OutputMime(mime));
}
