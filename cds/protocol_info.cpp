#include "cds/protocol_info.h"

#include "media/media_type.h"
#include "transcode/transcode_rules.h"

std::string MediaType_BuildProtocolInfo(const std::string& path, std::string_view extension,
                                        bool transcodeCheck, bool* transcoded) {
  std::string mime = MediaType_MimeForExtension(extension);
  bool converted = transcodeCheck && Transcode_NeedsTranscode(path) == 1;
  if (transcoded != nullptr) *transcoded = converted;
  if (converted) {
    // The fourth field is chosen from the source type, then the type is replaced.
    std::string fourth = Transcode_OutputFourthField(path, mime);
    return MediaType_HttpProtocolInfo(Transcode_OutputMime(mime), fourth);
  }
  return MediaType_HttpProtocolInfo(mime, MediaType_DlnaFourthField(path, mime));
}

std::string MediaType_BuildStreamProtocolInfo(const std::string& url, int kind) {
  // The stream type already names what the encoder relays.
  std::string mime = MediaType_MimeForStream(url, kind);
  return MediaType_HttpProtocolInfo(mime, Transcode_FourthFieldOfOutput(mime));
}
