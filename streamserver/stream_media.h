// The media side of the stream server: every request's URL names a library object
// ("/<c>/___/<MyIndex>/<name>"), and the default handler sends what that object stands
// for: a member of a disc image, a picture beside a media file, a relayed internet
// stream, or a plain file or folder. Only files named by library records are ever opened;
// a URL's own path is never taken as a file name.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "streamserver/stream_request.h"

struct StreamServer;

// Relays an internet source (request->Source, with request->MediaKind and the ranges) to
// the client, writing the whole answer. Returns non-zero when the request was answered and
// the connection may go on, 0 when it must end.
using StreamRelay = std::function<int(StreamRequest* request)>;

// Registers the relay for sources beginning "http", "mms", "mmsh" or "rtsp"; nullptr
// removes it. Without one such sources are answered with 502. Any thread.
void StreamServer_SetRelay(StreamRelay relay);

// Finds the library object of the URL and sets the request's record, media kind and
// source. A picture name (".jpg", ".jpeg", ".bmp", ".png") makes the source the file of
// that name in the folder of the object's file, but only when that picture is the object's
// cover or a library object itself; otherwise the source is left empty and the request
// gets 404.
void StreamMedia_Rewrite(StreamRequest* request);

// The default handler: OPTIONS, 405 for other methods, then the object's source.
int StreamMedia_DefaultHandler(StreamRequest* request);

// The DLNA headers of a media answer whose body is of `type`: transferMode.dlna.org (the
// mode the client named when it is a valid one, else Interactive for pictures and
// Streaming for the rest), and, when the client sent "getcontentFeatures.dlna.org: 1",
// contentFeatures.dlna.org with the fourth field of `protocolInfo`, the one the content
// directory announces for the same resource.
void StreamMedia_AddDlnaFields(StreamRequest* request, std::string_view type,
                               std::string_view protocolInfo);

// Makes the server run the rewriting and the default handler above.
void StreamMedia_Install(StreamServer* server);

// True for sources that begin with one of the internet prefixes (any case).
bool StreamMedia_IsInternetSource(std::string_view source);

// Splits "<image>.iso/%offset%<n>/<name>" into the image path and the data offset. False
// when the path has no such form or the image does not end in ".iso" (any case).
bool StreamMedia_SplitDiscPath(std::string_view path, std::string* image, int64_t* offset);

// True when `path` is a shared folder or lies below one. Paths with "." or ".." segments
// are never below anything.
bool StreamMedia_IsInSharedFolder(std::string_view path);
