// SOAP control of the device: the action table, the reading of an invocation and the
// operations that write the answer (an envelope, streamed or whole, or a fault).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "upnp/http_packet.h"
#include "upnp/web_server.h"

inline constexpr std::string_view kContentDirectoryServiceType =
    "urn:schemas-upnp-org:service:ContentDirectory:1";
inline constexpr std::string_view kConnectionManagerServiceType =
    "urn:schemas-upnp-org:service:ConnectionManager:1";
inline constexpr std::string_view kConnectionManagerControlPath = "/ConnectionManager/control";
inline constexpr std::string_view kContentDirectoryControlPath = "/ContentDirectory/control";

// The header lines of every SOAP answer, and what a streamed answer writes before the
// action's name; for callers that gather an answer and send it whole, with the same bytes.
inline constexpr std::string_view kSoapResponseHeaders =
    "\r\nEXT:\r\nCONTENT-TYPE: text/xml; charset=\"utf-8\"\r\nSERVER: WINDOWS, UPnP/1.0, Ferrule "
    "Lattice/1.0.1922";
inline constexpr std::string_view kSoapStreamedOpening =
    "<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n<s:Envelope "
    "s:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\" "
    "xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\">\r\n<s:Body>\r\n<u:";

// The media server's action callbacks. Each gets the session first and must answer
// exactly once, now or later and from any thread, with a response operation below or
// UpnpLattice_SendFault. String arguments are XML-unescaped and valid during the call.
// An empty slot answers the action with 401 "Invalid Action".
struct UpnpLatticeActions {
  std::function<void(FLibWebSession*)> GetCurrentConnectionIDs;
  std::function<void(FLibWebSession*, int32_t connectionId)> GetCurrentConnectionInfo;
  std::function<void(FLibWebSession*)> GetProtocolInfo;
  std::function<void(FLibWebSession*, const char* objectId, const char* browseFlag,
                     const char* filter, uint32_t startingIndex, uint32_t requestedCount,
                     const char* sortCriteria)>
      Browse;
  std::function<void(FLibWebSession*)> GetSearchCapabilities;
  std::function<void(FLibWebSession*)> GetSortCapabilities;
  std::function<void(FLibWebSession*)> GetSystemUpdateID;
  std::function<void(FLibWebSession*, const char* containerId, const char* searchCriteria,
                     const char* filter, uint32_t startingIndex, uint32_t requestedCount,
                     const char* sortCriteria)>
      Search;
};

// A fault: a UPnP error code and its text.
struct UpnpSoapFault {
  int Code = 0;
  std::string_view Text;
};

inline constexpr UpnpSoapFault kSoapInvalidAction{401, "Invalid Action"};
inline constexpr UpnpSoapFault kSoapIncorrectArguments{402, "Incorrect Arguments"};
inline constexpr UpnpSoapFault kSoapBadBrowseFlag{
    402, "Argument[BrowseFlag] contains a value that is not in AllowedValueList"};
inline constexpr UpnpSoapFault kSoapBadStartingIndex{402, "Argument[StartingIndex] illegal value"};
inline constexpr UpnpSoapFault kSoapBadRequestedCount{402,
                                                      "Argument[RequestedCount] illegal value"};
inline constexpr UpnpSoapFault kSoapBadConnectionId{402, "Argument[ConnectionID] illegal value"};
inline constexpr UpnpSoapFault kSoapInvalidXml{501, "Invalid XML"};

// The action name of a SOAPACTION value: the piece after the last "#" without its last
// character (the closing quotation mark of a quoted value).
std::string_view UpnpSoap_ActionName(std::string_view soapAction);

// Reads the raw values of `names` from the arguments of `action` in a SOAP body: the
// first "Envelope", its "Body", the element named like the action, and its children, by
// local name. Values are raw (still escaped); a later duplicate wins. Returns 0,
// kSoapInvalidXml.Code when the body is not well nested, or kSoapIncorrectArguments.Code when an
// argument is missing.
int UpnpSoap_ExtractArguments(std::string_view body, std::string_view action,
                              const std::vector<std::string_view>& names,
                              std::vector<std::string>* values);

// Handles a complete POST: finds the action, checks its arguments and calls its
// callback, or answers with a fault.
void UpnpSoap_Dispatch(FLibWebSession* session, const FLibHttpPacket& request,
                       const UpnpLatticeActions& actions);

// ---- Response operations (any thread) ----

// "HTTP/1.1 500 Internal" with the UPnPError envelope; the text goes in as given.
void UpnpLattice_SendFault(FLibWebSession* session, int code, std::string_view text);

// The whole response envelope around `argumentsXml` (already escaped). Returns the web
// server's result of the head; the body is not sent when the head could not be.
int UpnpLattice_SendResponse(FLibWebSession* session, std::string_view serviceType,
                             std::string_view action, std::string_view argumentsXml);

// Per-action answers. Strings go in as given: callers pass them XML-escaped.
int UpnpLattice_Response_GetSystemUpdateID(FLibWebSession* session, uint32_t id);
int UpnpLattice_Response_GetSortCapabilities(FLibWebSession* session, std::string_view sortCaps);
int UpnpLattice_Response_GetSearchCapabilities(FLibWebSession* session,
                                               std::string_view searchCaps);
int UpnpLattice_Response_GetProtocolInfo(FLibWebSession* session, std::string_view source,
                                         std::string_view sink);
int UpnpLattice_Response_GetCurrentConnectionIDs(FLibWebSession* session,
                                                 std::string_view connectionIds);
int UpnpLattice_Response_GetCurrentConnectionInfo(
    FLibWebSession* session, int32_t rcsId, int32_t avTransportId, std::string_view protocolInfo,
    std::string_view peerConnectionManager, int32_t peerConnectionId, std::string_view direction,
    std::string_view status);
