// The device description and the two service descriptions (SCPDs) of the media server,
// and the GET and HEAD answers that serve them.
#pragma once

#include <string>
#include <string_view>

#include "upnp/http_packet.h"
#include "upnp/web_server.h"

inline constexpr std::string_view kConnectionManagerScpdPath = "/ConnectionManager/scpd.xml";
inline constexpr std::string_view kContentDirectoryScpdPath = "/ContentDirectory/scpd.xml";

// The device description, on one line. The texts are XML-escaped as they go in, so a
// friendly name with "&" or "<" still gives a well-formed document.
std::string UpnpDescription_Format(std::string_view friendlyName, std::string_view serialNumber,
                                   std::string_view identifier);

// The complete stored HTTP responses of the SCPDs (status line, headers, blank line and
// the SCPD).
std::string_view UpnpDescription_ConnectionManagerResponse();
std::string_view UpnpDescription_ContentDirectoryResponse();

// "HTTP/1.1 <code> <reason>\r\nServer: ...\r\nContent-Length: 0\r\n\r\n".
std::string UpnpDescription_EmptyResponse(int code, std::string_view reason);

// Answers a GET or HEAD request with the description, an SCPD or 404. Returns false,
// having sent nothing, for any other method.
bool UpnpDescription_HandleGet(FLibWebSession* session, const FLibHttpPacket& request,
                               const std::string& description);
