#include "upnp/soap.h"

#include <cstdio>
#include <cstdlib>

#include "upnp/async_socket.h"
#include "upnp/device_format.h"
#include "upnp/escape.h"
#include "upnp/number.h"
#include "upnp/xml.h"

namespace {

void SendFault(FLibWebSession* session, const UpnpSoapFault& fault) {
  UpnpLattice_SendFault(session, fault.Code, fault.Text);
}

bool IsWritten(int result) { return result != FLibWeb_NoSession && result != FLibWeb_Gone; }

int SendPiece(FLibWebSession* session, const std::string& text, bool done) {
  return FLibWebServer_StreamPiece(session, text.data(), text.size(), FLibOwnership_User, done);
}

// Reads the arguments of Browse or Search: one object id, the filter and criteria
// strings and the two counts. The first name is the object or container id; the second
// is BrowseFlag for Browse and SearchCriteria for Search.
struct ListArguments {
  std::string Id, Second, Filter, Sort;
  uint32_t StartingIndex = 0, RequestedCount = 0;
};

bool ReadListArguments(FLibWebSession* session, const FLibHttpPacket& request,
                       std::string_view action, std::string_view idName,
                       std::string_view secondName, ListArguments* out) {
  std::vector<std::string> values;
  int result = UpnpSoap_ExtractArguments(
      request.Body, action,
      {idName, secondName, "Filter", "StartingIndex", "RequestedCount", "SortCriteria"}, &values);
  if (result == kSoapInvalidXml.Code) {
    SendFault(session, kSoapInvalidXml);
    return false;
  }
  if (result != 0) {
    SendFault(session, kSoapIncorrectArguments);
    return false;
  }
  for (size_t i : {0u, 1u, 2u, 5u}) FLibXml_UnescapeInPlace(&values[i]);
  if (secondName == "BrowseFlag" && values[1] != "BrowseMetadata" &&
      values[1] != "BrowseDirectChildren") {
    SendFault(session, kSoapBadBrowseFlag);
    return false;
  }
  if (FLibText_ToULong(values[3], &out->StartingIndex) != 0) {
    SendFault(session, kSoapBadStartingIndex);
    return false;
  }
  if (FLibText_ToULong(values[4], &out->RequestedCount) != 0) {
    SendFault(session, kSoapBadRequestedCount);
    return false;
  }
  out->Id = std::move(values[0]);
  out->Second = std::move(values[1]);
  out->Filter = std::move(values[2]);
  out->Sort = std::move(values[5]);
  return true;
}

void DispatchConnectionManager(FLibWebSession* session, const FLibHttpPacket& request,
                               std::string_view action, const UpnpLatticeActions& actions) {
  if (action == "GetCurrentConnectionIDs" && actions.GetCurrentConnectionIDs) {
    actions.GetCurrentConnectionIDs(session);
  } else if (action == "GetProtocolInfo" && actions.GetProtocolInfo) {
    actions.GetProtocolInfo(session);
  } else if (action == "GetCurrentConnectionInfo" && actions.GetCurrentConnectionInfo) {
    std::vector<std::string> values;
    int result = UpnpSoap_ExtractArguments(request.Body, action, {"ConnectionID"}, &values);
    int32_t id = 0;
    if (result == kSoapInvalidXml.Code) {
      SendFault(session, kSoapInvalidXml);
    } else if (result != 0) {
      SendFault(session, kSoapIncorrectArguments);
    } else if (FLibText_ToLong(values[0], &id) != 0) {
      SendFault(session, kSoapBadConnectionId);
    } else {
      actions.GetCurrentConnectionInfo(session, id);
    }
  } else {
    SendFault(session, kSoapInvalidAction);
  }
}

void DispatchContentDirectory(FLibWebSession* session, const FLibHttpPacket& request,
                              std::string_view action, const UpnpLatticeActions& actions) {
  if (action == "GetSearchCapabilities" && actions.GetSearchCapabilities) {
    actions.GetSearchCapabilities(session);
  } else if (action == "GetSortCapabilities" && actions.GetSortCapabilities) {
    actions.GetSortCapabilities(session);
  } else if (action == "GetSystemUpdateID" && actions.GetSystemUpdateID) {
    actions.GetSystemUpdateID(session);
  } else if (action == "Browse" && actions.Browse) {
    ListArguments a;
    if (ReadListArguments(session, request, action, "ObjectID", "BrowseFlag", &a))
      actions.Browse(session, a.Id.c_str(), a.Second.c_str(), a.Filter.c_str(), a.StartingIndex,
                     a.RequestedCount, a.Sort.c_str());
  } else if (action == "Search" && actions.Search) {
    ListArguments a;
    if (ReadListArguments(session, request, action, "ContainerID", "SearchCriteria", &a))
      actions.Search(session, a.Id.c_str(), a.Second.c_str(), a.Filter.c_str(), a.StartingIndex,
                     a.RequestedCount, a.Sort.c_str());
  } else {
    SendFault(session, kSoapInvalidAction);
  }
}

}  // namespace

std::string_view UpnpSoap_ActionName(std::string_view soapAction) {
  size_t hash = soapAction.rfind('#');
  std::string_view last = hash == std::string_view::npos ? soapAction : soapAction.substr(hash + 1);
  if (last.empty()) return last;
  return last.substr(0, last.size() - 1);
}

int UpnpSoap_ExtractArguments(std::string_view body, std::string_view action,
                              const std::vector<std::string_view>& names,
                              std::vector<std::string>* values) {
  FLibXmlDocumentPtr document = FLibXml_Read(body);
  if (!document || FLibXml_Pair(*document) != kXmlPairOk) return kSoapInvalidXml.Code;
  const FLibXmlNode* envelope = nullptr;
  for (const FLibXmlNode& node : document->Nodes) {
    if (node.IsStart && node.Name == "Envelope") {
      envelope = &node;
      break;
    }
  }
  const FLibXmlNode* soapBody = envelope ? FLibXml_FindChild(*envelope, "Body") : nullptr;
  const FLibXmlNode* call = soapBody ? FLibXml_FindChild(*soapBody, action) : nullptr;
  std::vector<bool> found(names.size(), false);
  values->assign(names.size(), std::string());
  for (const FLibXmlNode* child = call ? FLibXml_FirstChild(*call) : nullptr; child != nullptr;
       child = child->Sibling) {
    for (size_t i = 0; i < names.size(); ++i) {
      if (child->Name != names[i]) continue;
      (*values)[i] = std::string(FLibXml_InnerText(*document, *child));
      found[i] = true;
    }
  }
  for (bool present : found) {
    if (!present) return kSoapIncorrectArguments.Code;
  }
  return 0;
}

void UpnpSoap_Dispatch(FLibWebSession* session, const FLibHttpPacket& request,
                       const UpnpLatticeActions& actions) {
  std::optional<std::string> header = FLibHttp_HeaderValue(request, "SOAPACTION");
  std::string_view action = header ? UpnpSoap_ActionName(*header) : std::string_view();
  if (request.Target == kConnectionManagerControlPath) {
    DispatchConnectionManager(session, request, action, actions);
  } else if (request.Target == kContentDirectoryControlPath) {
    DispatchContentDirectory(session, request, action, actions);
  } else {
    SendFault(session, kSoapInvalidAction);
  }
}

void UpnpLattice_SendFault(FLibWebSession* session, int code, std::string_view text) {
  std::string envelope =
      UpnpFormat(
          "<s:Envelope\r\n xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\" "
          "s:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\"><s:Body><s:Fault>"
          "<faultcode>s:Client</faultcode><faultstring>UPnPError</faultstring><detail>"
          "<UPnPError xmlns=\"urn:schemas-upnp-org:control-1-0\"><errorCode>%d</errorCode>"
          "<errorDescription>",
          code) +
      std::string(text) +
      "</errorDescription></UPnPError></detail></s:Fault></s:Body></s:Envelope>";
  std::string message =
      UpnpFormat("HTTP/1.1 500 Internal\r\nContent-Length: %zu\r\n\r\n", envelope.size()) +
      envelope;
  FLibWebServer_SendBytes(session, message.data(), message.size(), FLibOwnership_User, true);
}

int UpnpLattice_SendResponse(FLibWebSession* session, std::string_view serviceType,
                             std::string_view action, std::string_view argumentsXml) {
  int result = FLibWebServer_BeginStreamRaw(session, 200, "OK", kSoapResponseHeaders);
  if (!IsWritten(result)) return result;
  std::string a(action), type(serviceType);
  std::string body =
      "<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n<s:Envelope "
      "s:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\" "
      "xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\"><s:Body><u:" +
      a + "Response xmlns:u=\"" + type + "\">" + std::string(argumentsXml) + "</u:" + a +
      "Response></s:Body></s:Envelope>";
  return SendPiece(session, body, true);
}

int UpnpLattice_Response_GetSystemUpdateID(FLibWebSession* session, uint32_t id) {
  return UpnpLattice_SendResponse(session, kContentDirectoryServiceType, "GetSystemUpdateID",
                                  UpnpFormat("<Id>%u</Id>", id));
}

int UpnpLattice_Response_GetSortCapabilities(FLibWebSession* session, std::string_view sortCaps) {
  return UpnpLattice_SendResponse(session, kContentDirectoryServiceType, "GetSortCapabilities",
                                  "<SortCaps>" + std::string(sortCaps) + "</SortCaps>");
}

int UpnpLattice_Response_GetSearchCapabilities(FLibWebSession* session,
                                               std::string_view searchCaps) {
  return UpnpLattice_SendResponse(session, kContentDirectoryServiceType, "GetSearchCapabilities",
                                  "<SearchCaps>" + std::string(searchCaps) + "</SearchCaps>");
}

int UpnpLattice_Response_GetProtocolInfo(FLibWebSession* session, std::string_view source,
                                         std::string_view sink) {
  return UpnpLattice_SendResponse(
      session, kConnectionManagerServiceType, "GetProtocolInfo",
      "<Source>" + std::string(source) + "</Source><Sink>" + std::string(sink) + "</Sink>");
}

int UpnpLattice_Response_GetCurrentConnectionIDs(FLibWebSession* session,
                                                 std::string_view connectionIds) {
  return UpnpLattice_SendResponse(
      session, kConnectionManagerServiceType, "GetCurrentConnectionIDs",
      "<ConnectionIDs>" + std::string(connectionIds) + "</ConnectionIDs>");
}

int UpnpLattice_Response_GetCurrentConnectionInfo(
    FLibWebSession* session, int32_t rcsId, int32_t avTransportId, std::string_view protocolInfo,
    std::string_view peerConnectionManager, int32_t peerConnectionId, std::string_view direction,
    std::string_view status) {
  std::string args =
      UpnpFormat("<RcsID>%d</RcsID><AVTransportID>%d</AVTransportID>", rcsId, avTransportId) +
      "<ProtocolInfo>" + std::string(protocolInfo) + "</ProtocolInfo><PeerConnectionManager>" +
      std::string(peerConnectionManager) + "</PeerConnectionManager>" +
      UpnpFormat("<PeerConnectionID>%d</PeerConnectionID>", peerConnectionId) + "<Direction>" +
      std::string(direction) + "</Direction><Status>" + std::string(status) + "</Status>";
  return UpnpLattice_SendResponse(session, kConnectionManagerServiceType,
                                  "GetCurrentConnectionInfo", args);
}
