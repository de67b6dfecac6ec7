// The four small pages every stream server answers: the time (behind a password), the
// server's name, any status code, and the MIME type of an extension.
#include <string>

#include "streamserver/stream_response.h"
#include "streamserver/stream_server.h"
#include "streamserver/stream_text.h"
#include "upnp/escape.h"

namespace {

int TimePage(StreamRequest* request) {
  if (request->Uri != "/time") return 0;
  if (!StreamRequest_Authenticate(request, stream_limits::kTimeRealm, stream_limits::kTimeUser,
                                  stream_limits::kTimePassword)) {
    StreamResponse_WriteError(request);
    return 1;
  }
  StreamResponse_SendPage(request, "The time is " + StreamDate_Format(time(nullptr)));
  return 1;
}

int NamePage(StreamRequest* request) {
  if (request->Uri != "/name") return 0;
  StreamResponse_SendPage(
      request, "Server name is " + FLibXml_Escape(request->Server ? request->Server->Name : ""));
  return 1;
}

// "/status/<code>": an empty answer with that status. Codes outside 100-999 cannot form a
// status line and are refused.
int StatusPage(StreamRequest* request) {
  constexpr std::string_view kPrefix = "/status/";
  std::string_view uri = request->Uri;
  if (uri.substr(0, kPrefix.size()) != kPrefix) return 0;
  int64_t code = 0;
  if (!stream_text::ParseDecimal(uri.substr(kPrefix.size()), &code) || code < 100 || code > 999) {
    StreamResponse_SendError(request, 400);
    return 1;
  }
  StreamResponse_SetStatus(request, static_cast<int>(code));
  StreamResponse_SetContentLength(request, 0);
  StreamResponse_WriteHeader(request);
  return 1;
}

int MimePage(StreamRequest* request) {
  constexpr std::string_view kPrefix = "/mime/";
  std::string_view uri = request->Uri;
  if (uri.substr(0, kPrefix.size()) != kPrefix) return 0;
  std::string type;
  if (request->Server != nullptr)
    type = request->Server->Mime.TypeOfExtension(uri.substr(kPrefix.size()));
  StreamResponse_SendPage(request, type.empty() ? "(none)" : FLibXml_Escape(type));
  return 1;
}

}  // namespace

void StreamServer_AddBuiltinHandlers(StreamServer* server) {
  StreamServer_AddHandler(server, TimePage);
  StreamServer_AddHandler(server, NamePage);
  StreamServer_AddHandler(server, StatusPage);
  StreamServer_AddHandler(server, MimePage);
}
