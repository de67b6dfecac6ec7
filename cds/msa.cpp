#include "cds/msa.h"

#include <algorithm>
#include <cstdio>

#include "library/library.h"
#include "platform/log.h"
#include "platform/text.h"
#include "upnp/escape.h"
#include "upnp/lattice.h"
#include "upnp/web_server.h"

const std::string_view kMsaSourceProtocolList =
    "http-get:*:image/jpeg:DLNA.ORG_PN=JPEG_SM,"
    "http-get:*:image/jpeg:DLNA.ORG_PN=JPEG_MED,"
    "http-get:*:image/jpeg:DLNA.ORG_PN=JPEG_LRG,"
    "http-get:*:image/jpeg:DLNA.ORG_PN=JPEG_TN,"
    "http-get:*:image/jpeg:DLNA.ORG_PN=JPEG_LRG_ICO,"
    "http-get:*:image/png:DLNA.ORG_PN=PNG_TN,"
    "http-get:*:image/png:DLNA.ORG_PN=PNG_SM_ICO,"
    "http-get:*:image/png:DLNA.ORG_PN=PNG_LRG_ICO,"
    "http-get:*:audio/L16;rate=44100;channels=1:DLNA.ORG_PN=LPCM,"
    "http-get:*:audio/L16;rate=44100;channels=2:DLNA.ORG_PN=LPCM,"
    "http-get:*:audio/L16;rate=48000;channels=1:DLNA.ORG_PN=LPCM,"
    "http-get:*:audio/L16;rate=48000;channels=2:DLNA.ORG_PN=LPCM,"
    "http-get:*:video/mpeg:DLNA.ORG_PN=MPEG_PS_NTSC,"
    "http-get:*:video/mpeg:DLNA.ORG_PN=MPEG_PS_PAL,"
    "http-get:*:video/vnd.dlna.mpeg-tts:DLNA.ORG_PN=MPEG_TS_SD_NA,"
    "http-get:*:video/vnd.dlna.mpeg-tts:DLNA.ORG_PN=MPEG_TS_SD_NA_T,"
    "http-get:*:video/vnd.dlna.mpeg-tts:DLNA.ORG_PN=MPEG_TS_HD_NA,"
    "http-get:*:video/vnd.dlna.mpeg-tts:DLNA.ORG_PN=MPEG_TS_HD_NA_T,"
    "http-get:*:video/vnd.dlna.mpeg-tts:DLNA.ORG_PN=MPEG_TS_SD_EU,"
    "http-get:*:video/vnd.dlna.mpeg-tts:DLNA.ORG_PN=MPEG_TS_SD_EU_T,"
    "http-get:*:video/vnd.dlna.mpeg-tts:DLNA.ORG_PN=MPEG_TS_SD_KO,"
    "http-get:*:video/vnd.dlna.mpeg-tts:DLNA.ORG_PN=MPEG_TS_SD_KO_T,"
    "http-get:*:video/vnd.dlna.mpeg-tts:DLNA.ORG_PN=MPEG_TS_HD_KO,"
    "http-get:*:video/vnd.dlna.mpeg-tts:DLNA.ORG_PN=MPEG_TS_HD_KO_T,"
    "http-get:*:image/jpeg:DLNA.ORG_PN=JPEG_SM_ICO";

namespace {

constexpr std::string_view kInternalError = "Action failed. Internal error encountered.";
// The one connection a server without PrepareForConnection has, always listed.
constexpr int32_t kDefaultConnectionId = 0;

std::string_view ActionOf(const MslRequest& request) {
  return request.kind == kFseSearch ? "Search" : "Browse";
}

void Trace(const char* action) { platform::Logf("UPnP Invoke: %s();\r\n", action); }

// Queues a request; when the logic no longer takes requests the client still gets an
// answer rather than a connection left waiting.
void Submit(MediaServerAbstraction* msa, FLibWebSession* session,
            std::unique_ptr<MslRequest> request) {
  request->abstraction = msa;
  request->session = session;
  request->localAddress = FLibWebServer_LocalAddress(session);
  // Every control request arrives on the device's one web server port.
  if (UpnpLattice* device = msa->device.load()) request->localPort = UpnpLattice_WebPort(device);
  request->addresses = MSA_AddressesFor(msa, request->localAddress);
  if (!msa->requestCallback || !msa->requestCallback(&request))
    UpnpLattice_SendFault(session, 501, kInternalError);
}

// "<name>value</name>" and a line end, as a whole argument of a streamed response.
void Argument(std::string* body, std::string_view name, uint32_t value) {
  char text[16];
  int length = std::snprintf(text, sizeof text, "%u", value);
  *body += '<';
  *body += name;
  *body += '>';
  body->append(text, static_cast<size_t>(length));
  *body += "</";
  *body += name;
  *body += ">\r\n";
}

}  // namespace

std::unique_ptr<MediaServerAbstraction> MSA_Create(
    std::string_view sinkProtocolInfo, std::string_view sourceProtocolInfo,
    std::string_view sortCapabilities, std::string_view searchCapabilities,
    std::function<bool(std::unique_ptr<MslRequest>*)> requestCallback) {
  auto msa = std::make_unique<MediaServerAbstraction>();
  msa->sinkProtocolInfo = sinkProtocolInfo;
  msa->sourceProtocolInfo = sourceProtocolInfo;
  msa->sortCapabilities = sortCapabilities;
  msa->searchCapabilities = searchCapabilities;
  msa->requestCallback = std::move(requestCallback);
  return msa;
}

void MSA_AttachDevice(MediaServerAbstraction* msa, UpnpLattice* device) {
  msa->device = device;
  UpnpLattice_Publish_SystemUpdateID(device, db_systemUpdateId());
  UpnpLattice_Publish_SourceProtocolInfo(device, msa->sourceProtocolInfo);
  UpnpLattice_Publish_ContainerUpdateIDs(device, "");
  UpnpLattice_Publish_SinkProtocolInfo(device, msa->sinkProtocolInfo);
  UpnpLattice_Publish_CurrentConnectionIDs(device, "");
}

void MSA_SetIpAddresses(MediaServerAbstraction* msa, const uint32_t* addresses, size_t count) {
  std::lock_guard guard(msa->addressLock);
  msa->addresses.assign(addresses, addresses + count);
}

std::vector<uint32_t> MSA_AddressesFor(MediaServerAbstraction* msa, uint32_t localAddress) {
  std::vector<uint32_t> list;
  {
    std::lock_guard guard(msa->addressLock);
    list = msa->addresses;
  }
  if (list.empty()) {
    list.push_back(localAddress);
    return list;
  }
  if (list.front() == localAddress) return list;
  auto at = std::find(list.begin(), list.end(), localAddress);
  if (at != list.end()) *at = list.front();
  list.front() = localAddress;
  return list;
}

void MSA_Browse(MediaServerAbstraction* msa, FLibWebSession* session, const char* objectId,
                const char* browseFlag, const char* filter, uint32_t startingIndex,
                uint32_t requestedCount, const char* sortCriteria) {
  auto request = std::make_unique<MslRequest>();
  if (platform::AsciiEqualsNoCase(browseFlag, "BrowseDirectChildren")) {
    request->kind = kFseBrowseDirectChildren;
  } else if (platform::AsciiEqualsNoCase(browseFlag, "BrowseMetadata")) {
    request->kind = kFseBrowseMetadata;
  } else {
    Trace("UpnpContentDirectory_Browse");
    platform::Logf(
        "WARNING: UpnpContentDirectory_Browse(): Possible error with generated lattice. "
        "Encountered BrowseFlag='%s'\r\n",
        browseFlag);
    UpnpLattice_SendFault(session, 402, "Invalid value specified for BrowseFlag.");
    return;
  }
  request->filter = filter;
  request->objectId = objectId;
  FLibXml_UnescapeInPlace(&request->objectId);
  request->sortCriteria = sortCriteria;
  request->startingIndex = startingIndex;
  request->requestedCount = requestedCount;
  Submit(msa, session, std::move(request));
  // After the request is handed on: a kept answer then goes out without waiting for the
  // log's write.
  Trace("UpnpContentDirectory_Browse");
}

void MSA_Search(MediaServerAbstraction* msa, FLibWebSession* session, const char* containerId,
                const char* searchCriteria, const char* filter, uint32_t startingIndex,
                uint32_t requestedCount, const char* sortCriteria) {
  auto request = std::make_unique<MslRequest>();
  request->kind = kFseSearch;
  request->filter = filter;
  request->objectId = containerId;
  request->searchCriteria = searchCriteria;
  request->sortCriteria = sortCriteria;
  request->startingIndex = startingIndex;
  request->requestedCount = requestedCount;
  Submit(msa, session, std::move(request));
  Trace("UpnpContentDirectory_Search");  // after, as for Browse
}

void MSA_InstallActions(MediaServerAbstraction* msa, UpnpLatticeActions* actions) {
  actions->Browse = [msa](FLibWebSession* s, const char* objectId, const char* browseFlag,
                          const char* filter, uint32_t start, uint32_t count, const char* sort) {
    MSA_Browse(msa, s, objectId, browseFlag, filter, start, count, sort);
  };
  actions->Search = [msa](FLibWebSession* s, const char* containerId, const char* criteria,
                          const char* filter, uint32_t start, uint32_t count, const char* sort) {
    MSA_Search(msa, s, containerId, criteria, filter, start, count, sort);
  };
  actions->GetSystemUpdateID = [](FLibWebSession* s) {
    Trace("UpnpContentDirectory_GetSystemUpdateID");
    UpnpLattice_Response_GetSystemUpdateID(s, db_systemUpdateId());
  };
  actions->GetSortCapabilities = [msa](FLibWebSession* s) {
    Trace("UpnpContentDirectory_GetSortCapabilities");
    UpnpLattice_Response_GetSortCapabilities(s, msa->sortCapabilities);
  };
  actions->GetSearchCapabilities = [msa](FLibWebSession* s) {
    Trace("UpnpContentDirectory_GetSearchCapabilities");
    UpnpLattice_Response_GetSearchCapabilities(s, msa->searchCapabilities);
  };
  actions->GetProtocolInfo = [](FLibWebSession* s) {
    Trace("UpnpConnectionManager_GetProtocolInfo");
    UpnpLattice_Response_GetProtocolInfo(s, kMsaSourceProtocolList, "");
  };
  actions->GetCurrentConnectionIDs = [](FLibWebSession* s) {
    Trace("UpnpConnectionManager_GetCurrentConnectionIDs");
    UpnpLattice_Response_GetCurrentConnectionIDs(s, "0");
  };
  actions->GetCurrentConnectionInfo = [](FLibWebSession* s, int32_t id) {
    platform::Logf("UPnP Invoke: UpnpConnectionManager_GetCurrentConnectionInfo(%u);\r\n",
                   static_cast<unsigned>(id));
    // GetCurrentConnectionIDs names the default connection 0, so it must exist too; a
    // control point that lists the connections and asks about each would get a fault.
    if (id != kDefaultConnectionId) {
      UpnpLattice_SendFault(s, 706, "Specified connection does not exist.");
      return;
    }
    UpnpLattice_Response_GetCurrentConnectionInfo(s, -1, -1, "", "", -1, "Output", "OK");
  };
}

namespace {

// The answers of the logic's chain are gathered in one buffer kept from answer to
// answer, so that a large answer is neither allocated afresh nor copied as it grows. A
// rare huge answer's memory is given back rather than kept.
constexpr size_t kKeptAnswerCapacity = 1 << 20;
thread_local std::string t_answerBuffer;

}  // namespace

// The answer is gathered in memory and sent as one write with a Content-Length: the
// objects are all in memory already, and writing each piece as it comes costs a chunk
// and a system call per object. The body keeps the layout of the streamed envelope
// (kSoapStreamedOpening), which clients have always been sent.
void MSA_BeginResult(const MslRequest& request) {
  std::string_view action = ActionOf(request);
  std::string& body = request.answerBody;
  if (body.capacity() < t_answerBuffer.capacity()) body.swap(t_answerBuffer);
  body.clear();
  body += kSoapStreamedOpening;
  body += action;
  body += "Response xmlns:u=\"";
  body += kContentDirectoryServiceType;
  body += "\"><Result>";
  body += kDidlHeadEscaped;
}

void MSA_AppendResult(const MslRequest& request, std::string_view fragment) {
  request.answerBody += fragment;
}

void MSA_FinishResult(const MslRequest& request, uint32_t numberReturned, uint32_t totalMatches,
                      uint32_t updateId) {
  std::string_view action = ActionOf(request);
  std::string& body = request.answerBody;
  body += kDidlTailEscaped;
  body += "</Result>\r\n";
  Argument(&body, "NumberReturned", numberReturned);
  Argument(&body, "TotalMatches", totalMatches);
  Argument(&body, "UpdateID", updateId);
  body += "</u:";
  body += action;
  body += "Response>\r\n   </s:Body>\r\n</s:Envelope>";
  if (request.session != nullptr)
    FLibWebServer_SendWhole(request.session, 200, "OK", kSoapResponseHeaders, body);
  // The request's memory is not kept with the request; the chain keeps it for the next.
  body.clear();
  if (body.capacity() <= kKeptAnswerCapacity && body.capacity() > t_answerBuffer.capacity())
    body.swap(t_answerBuffer);
  std::string().swap(body);
}

void MSA_SendError(const MslRequest& request, int code, std::string_view text) {
  UpnpLattice_SendFault(request.session, code, text);
}
