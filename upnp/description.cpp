#include "upnp/description.h"

#include <cstdio>

#include "upnp/async_socket.h"
#include "upnp/escape.h"

namespace {

// The headers of the description and of HEAD answers, after the status line.
constexpr std::string_view kDescriptionHeaders =
    "\r\nCONTENT-TYPE:  text/xml; charset=\"utf-8\"\r\nServer: WINDOWS, UPnP/1.0, Ferrule "
    "Lattice/1.0.1922";

// The stored SCPD responses keep their historic head, two spaces before "OK" included:
// clients have read it for years and only the bytes on the wire matter.
constexpr std::string_view kScpdHead =
    "HTTP/1.1 200  OK\r\nCONTENT-TYPE:  text/xml; charset=\"utf-8\"\r\nServer: WINDOWS, UPnP/1.0, "
    "Ferrule Lattice/1.0.1922\r\nContent-Length: ";

constexpr char kConnectionManagerScpd[] =
    "<?xml version=\"1.0\" encoding=\"utf-8\"?><scpd xmlns=\"urn:schemas-upnp-org:service-1-0\">"
    "<specVersion><major>1</major><minor>0</minor></"
    "specVersion><actionList><action><name>GetCurrentConnectionIDs</name>"
    "<argumentList><argument><name>ConnectionIDs</name><direction>out</"
    "direction><relatedStateVariable>"
    "CurrentConnectionIDs</relatedStateVariable></argument></argumentList></action><action>"
    "<name>GetCurrentConnectionInfo</name><argumentList><argument><name>ConnectionID</name>"
    "<direction>in</direction><relatedStateVariable>A_ARG_TYPE_ConnectionID</relatedStateVariable>"
    "</argument><argument><name>RcsID</name><direction>out</direction><relatedStateVariable>"
    "A_ARG_TYPE_RcsID</relatedStateVariable></argument><argument><name>AVTransportID</name>"
    "<direction>out</direction><relatedStateVariable>A_ARG_TYPE_AVTransportID</"
    "relatedStateVariable>"
    "</argument><argument><name>ProtocolInfo</name><direction>out</direction><relatedStateVariable>"
    "A_ARG_TYPE_ProtocolInfo</relatedStateVariable></"
    "argument><argument><name>PeerConnectionManager</name>"
    "<direction>out</direction><relatedStateVariable>A_ARG_TYPE_ConnectionManager</"
    "relatedStateVariable>"
    "</argument><argument><name>PeerConnectionID</name><direction>out</"
    "direction><relatedStateVariable>"
    "A_ARG_TYPE_ConnectionID</relatedStateVariable></argument><argument><name>Direction</name>"
    "<direction>out</direction><relatedStateVariable>A_ARG_TYPE_Direction</relatedStateVariable>"
    "</argument><argument><name>Status</name><direction>out</direction><relatedStateVariable>"
    "A_ARG_TYPE_ConnectionStatus</relatedStateVariable></argument></argumentList></action><action>"
    "<name>GetProtocolInfo</name><argumentList><argument><name>Source</name><direction>out</"
    "direction>"
    "<relatedStateVariable>SourceProtocolInfo</relatedStateVariable></argument><argument><name>"
    "Sink</name><direction>out</direction><relatedStateVariable>SinkProtocolInfo</"
    "relatedStateVariable>"
    "</argument></argumentList></action></actionList><serviceStateTable><stateVariable "
    "sendEvents=\"no\">"
    "<name>A_ARG_TYPE_ProtocolInfo</name><dataType>string</dataType></stateVariable><stateVariable "
    "sendEvents=\"no\">"
    "<name>A_ARG_TYPE_ConnectionStatus</name><dataType>string</"
    "dataType><allowedValueList><allowedValue>"
    "OK</allowedValue><allowedValue>ContentFormatMismatch</"
    "allowedValue><allowedValue>InsufficientBandwidth</allowedValue>"
    "<allowedValue>UnreliableChannel</allowedValue><allowedValue>Unknown</allowedValue></"
    "allowedValueList>"
    "</stateVariable><stateVariable sendEvents=\"no\"><name>A_ARG_TYPE_AVTransportID</name>"
    "<dataType>i4</dataType></stateVariable><stateVariable "
    "sendEvents=\"no\"><name>A_ARG_TYPE_RcsID</name>"
    "<dataType>i4</dataType></stateVariable><stateVariable "
    "sendEvents=\"no\"><name>A_ARG_TYPE_ConnectionID</name>"
    "<dataType>i4</dataType></stateVariable><stateVariable "
    "sendEvents=\"no\"><name>A_ARG_TYPE_ConnectionManager</name>"
    "<dataType>string</dataType></stateVariable><stateVariable "
    "sendEvents=\"yes\"><name>SourceProtocolInfo</name>"
    "<dataType>string</dataType></stateVariable><stateVariable "
    "sendEvents=\"yes\"><name>SinkProtocolInfo</name>"
    "<dataType>string</dataType></stateVariable><stateVariable "
    "sendEvents=\"no\"><name>A_ARG_TYPE_Direction</name>"
    "<dataType>string</dataType><allowedValueList><allowedValue>Input</allowedValue><allowedValue>"
    "Output</allowedValue></allowedValueList></stateVariable><stateVariable sendEvents=\"yes\">"
    "<name>CurrentConnectionIDs</name><dataType>string</dataType></stateVariable></"
    "serviceStateTable>"
    "</scpd>";

constexpr char kContentDirectoryScpd[] =
    "<?xml version=\"1.0\" encoding=\"utf-8\"?><scpd xmlns=\"urn:schemas-upnp-org:service-1-0\">"
    "<specVersion><major>1</major><minor>0</minor></specVersion><actionList><action><name>Browse</"
    "name>"
    "<argumentList><argument><name>ObjectID</name><direction>in</direction><relatedStateVariable>"
    "A_ARG_TYPE_ObjectID</relatedStateVariable></argument><argument><name>BrowseFlag</name>"
    "<direction>in</direction><relatedStateVariable>A_ARG_TYPE_BrowseFlag</relatedStateVariable>"
    "</argument><argument><name>Filter</name><direction>in</direction><relatedStateVariable>"
    "A_ARG_TYPE_Filter</relatedStateVariable></argument><argument><name>StartingIndex</name>"
    "<direction>in</direction><relatedStateVariable>A_ARG_TYPE_Index</relatedStateVariable>"
    "</argument><argument><name>RequestedCount</name><direction>in</"
    "direction><relatedStateVariable>"
    "A_ARG_TYPE_Count</relatedStateVariable></argument><argument><name>SortCriteria</"
    "name><direction>"
    "in</direction><relatedStateVariable>A_ARG_TYPE_SortCriteria</relatedStateVariable></argument>"
    "<argument><name>Result</name><direction>out</"
    "direction><relatedStateVariable>A_ARG_TYPE_Result</relatedStateVariable>"
    "</argument><argument><name>NumberReturned</name><direction>out</"
    "direction><relatedStateVariable>"
    "A_ARG_TYPE_Count</relatedStateVariable></argument><argument><name>TotalMatches</"
    "name><direction>"
    "out</direction><relatedStateVariable>A_ARG_TYPE_Count</relatedStateVariable></argument>"
    "<argument><name>UpdateID</name><direction>out</"
    "direction><relatedStateVariable>A_ARG_TYPE_UpdateID</relatedStateVariable>"
    "</argument></argumentList></action><action><name>GetSearchCapabilities</name><argumentList>"
    "<argument><name>SearchCaps</name><direction>out</"
    "direction><relatedStateVariable>SearchCapabilities</relatedStateVariable>"
    "</argument></argumentList></action><action><name>GetSortCapabilities</name><argumentList>"
    "<argument><name>SortCaps</name><direction>out</"
    "direction><relatedStateVariable>SortCapabilities</relatedStateVariable>"
    "</argument></argumentList></action><action><name>GetSystemUpdateID</name><argumentList>"
    "<argument><name>Id</name><direction>out</direction><relatedStateVariable>SystemUpdateID</"
    "relatedStateVariable>"
    "</argument></argumentList></action><action><name>Search</name><argumentList><argument>"
    "<name>ContainerID</name><direction>in</direction><relatedStateVariable>A_ARG_TYPE_ObjectID</"
    "relatedStateVariable>"
    "</argument><argument><name>SearchCriteria</name><direction>in</"
    "direction><relatedStateVariable>"
    "A_ARG_TYPE_SearchCriteria</relatedStateVariable></argument><argument><name>Filter</name>"
    "<direction>in</direction><relatedStateVariable>A_ARG_TYPE_Filter</relatedStateVariable>"
    "</argument><argument><name>StartingIndex</name><direction>in</direction><relatedStateVariable>"
    "A_ARG_TYPE_Index</relatedStateVariable></argument><argument><name>RequestedCount</name>"
    "<direction>in</direction><relatedStateVariable>A_ARG_TYPE_Count</relatedStateVariable>"
    "</argument><argument><name>SortCriteria</name><direction>in</direction><relatedStateVariable>"
    "A_ARG_TYPE_SortCriteria</relatedStateVariable></argument><argument><name>Result</name>"
    "<direction>out</direction><relatedStateVariable>A_ARG_TYPE_Result</relatedStateVariable>"
    "</argument><argument><name>NumberReturned</name><direction>out</"
    "direction><relatedStateVariable>"
    "A_ARG_TYPE_Count</relatedStateVariable></argument><argument><name>TotalMatches</"
    "name><direction>"
    "out</direction><relatedStateVariable>A_ARG_TYPE_Count</relatedStateVariable></argument>"
    "<argument><name>UpdateID</name><direction>out</"
    "direction><relatedStateVariable>A_ARG_TYPE_UpdateID</relatedStateVariable>"
    "</argument></argumentList></action></actionList><serviceStateTable><stateVariable "
    "sendEvents=\"no\">"
    "<name>A_ARG_TYPE_BrowseFlag</name><dataType>string</dataType><allowedValueList><allowedValue>"
    "BrowseMetadata</allowedValue><allowedValue>BrowseDirectChildren</allowedValue></"
    "allowedValueList>"
    "</stateVariable><stateVariable sendEvents=\"yes\"><name>ContainerUpdateIDs</name><dataType>"
    "string</dataType></stateVariable><stateVariable sendEvents=\"yes\"><name>SystemUpdateID</name>"
    "<dataType>ui4</dataType></stateVariable><stateVariable "
    "sendEvents=\"no\"><name>A_ARG_TYPE_SortCriteria</name>"
    "<dataType>string</dataType></stateVariable><stateVariable "
    "sendEvents=\"no\"><name>SortCapabilities</name>"
    "<dataType>string</dataType></stateVariable><stateVariable "
    "sendEvents=\"no\"><name>A_ARG_TYPE_UpdateID</name>"
    "<dataType>ui4</dataType></stateVariable><stateVariable "
    "sendEvents=\"no\"><name>A_ARG_TYPE_Index</name>"
    "<dataType>ui4</dataType></stateVariable><stateVariable "
    "sendEvents=\"no\"><name>A_ARG_TYPE_ObjectID</name>"
    "<dataType>string</dataType></stateVariable><stateVariable "
    "sendEvents=\"no\"><name>A_ARG_TYPE_Count</name>"
    "<dataType>ui4</dataType></stateVariable><stateVariable "
    "sendEvents=\"no\"><name>A_ARG_TYPE_Result</name>"
    "<dataType>string</dataType></stateVariable><stateVariable "
    "sendEvents=\"no\"><name>SearchCapabilities</name>"
    "<dataType>string</dataType></stateVariable><stateVariable "
    "sendEvents=\"no\"><name>A_ARG_TYPE_SearchCriteria</name>"
    "<dataType>string</dataType></stateVariable><stateVariable "
    "sendEvents=\"no\"><name>A_ARG_TYPE_Filter</name>"
    "<dataType>string</dataType></stateVariable></serviceStateTable></scpd>";

std::string StoredResponse(std::string_view scpd) {
  return std::string(kScpdHead) + std::to_string(scpd.size()) + "\r\n\r\n" + std::string(scpd);
}

}  // namespace

std::string UpnpDescription_Format(std::string_view friendlyName, std::string_view serialNumber,
                                   std::string_view identifier) {
  std::string text =
      "<?xml version=\"1.0\" encoding=\"utf-8\"?><root "
      "xmlns=\"urn:schemas-upnp-org:device-1-0\"><specVersion><major>1</major><minor>0</minor>"
      "</specVersion><device><deviceType>urn:schemas-upnp-org:device:MediaServer:1</deviceType>"
      "<dlna:X_DLNADOC xmlns:dlna=\"urn:schemas-dlna-org:device-1-0\">DMS-1.00</dlna:X_DLNADOC>"
      "<friendlyName>";
  FLibXml_EscapeAppend(&text, friendlyName);
  text +=
      "</friendlyName><manufacturer>Orvex</manufacturer><manufacturerURL>http://orvex.example/"
      "</manufacturerURL><modelDescription>Orvex Media Server 1.0</modelDescription><modelName>"
      "Orvex Media Server</modelName><modelNumber /><serialNumber>";
  FLibXml_EscapeAppend(&text, serialNumber);
  text += "</serialNumber><UDN>uuid:";
  FLibXml_EscapeAppend(&text, identifier);
  text +=
      "</UDN><serviceList><service><serviceType>urn:schemas-upnp-org:service:ConnectionManager:1"
      "</serviceType><serviceId>urn:upnp-org:serviceId:ConnectionManager</serviceId><SCPDURL>"
      "ConnectionManager/scpd.xml</SCPDURL><controlURL>ConnectionManager/control</controlURL>"
      "<eventSubURL>ConnectionManager/event</eventSubURL></service><service><serviceType>"
      "urn:schemas-upnp-org:service:ContentDirectory:1</serviceType><serviceId>"
      "urn:upnp-org:serviceId:ContentDirectory</serviceId><SCPDURL>ContentDirectory/scpd.xml"
      "</SCPDURL><controlURL>ContentDirectory/control</controlURL><eventSubURL>"
      "ContentDirectory/event</eventSubURL></service></serviceList>";
  // TVs of one maker fetch subtitles and durations with a video only from servers that
  // announce it; every other client passes over elements of a foreign namespace.
  text +=
      "<sec:ProductCap xmlns:sec=\"http://www.sec.co.kr/dlna\">"
      "smi,DCM10,getMediaInfo.sec,getCaptionInfo.sec</sec:ProductCap>"
      "<sec:X_ProductCap xmlns:sec=\"http://www.sec.co.kr/dlna\">"
      "smi,DCM10,getMediaInfo.sec,getCaptionInfo.sec</sec:X_ProductCap></device></root>";
  return text;
}

std::string_view UpnpDescription_ConnectionManagerResponse() {
  static const std::string response = StoredResponse(kConnectionManagerScpd);
  return response;
}

std::string_view UpnpDescription_ContentDirectoryResponse() {
  static const std::string response = StoredResponse(kContentDirectoryScpd);
  return response;
}

std::string UpnpDescription_EmptyResponse(int code, std::string_view reason) {
  return "HTTP/1.1 " + std::to_string(code) + " " + std::string(reason) +
         "\r\nServer: WINDOWS, UPnP/1.0, Ferrule Lattice/1.0.1922\r\nContent-Length: 0\r\n\r\n";
}

bool UpnpDescription_HandleGet(FLibWebSession* session, const FLibHttpPacket& request,
                               const std::string& description) {
  bool head = request.Method == "HEAD";
  if (!head && request.Method != "GET") return false;
  const std::string& path = request.Target;
  bool isRoot = path == "/";
  bool isCm = path == kConnectionManagerScpdPath;
  bool isCd = path == kContentDirectoryScpdPath;
  if (!isRoot && !isCm && !isCd) {
    std::string answer = UpnpDescription_EmptyResponse(404, "File Not Found");
    FLibWebServer_SendBytes(session, answer.data(), answer.size(), FLibOwnership_User, true);
    return true;
  }
  if (head || isRoot) {
    if (FLibWebServer_BeginStreamRaw(session, 200, "OK", kDescriptionHeaders) < 0) return true;
    if (head) {
      FLibWebServer_StreamPiece(session, nullptr, 0, FLibOwnership_Static, true);
    } else {
      FLibWebServer_StreamPiece(session, description.data(), description.size(), FLibOwnership_User,
                                true);
    }
    return true;
  }
  std::string_view stored = isCm ? UpnpDescription_ConnectionManagerResponse()
                                 : UpnpDescription_ContentDirectoryResponse();
  FLibWebServer_SendBytes(session, stored.data(), stored.size(), FLibOwnership_Static, true);
  return true;
}
