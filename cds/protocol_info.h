// The protocolInfo of a resource: "http-get:*:" + MIME type + ":" + DLNA fourth field.
#pragma once

#include <string>
#include <string_view>

// protocolInfo of a local file with this extension. With `transcodeCheck`, a file that is
// transcoded for clients announces the encoder's output type and fourth field, and
// *transcoded (optional) tells which way it went.
std::string MediaType_BuildProtocolInfo(const std::string& path, std::string_view extension,
                                        bool transcodeCheck, bool* transcoded = nullptr);
// protocolInfo of an internet stream of the given kind (1 video, 2 audio).
std::string MediaType_BuildStreamProtocolInfo(const std::string& url, int kind);
