// The content directory logic: Browse and Search requests accepted on the device chain are
// queued here and answered from the content directory's own chain, so that slow library
// queries never hold up discovery, control and eventing traffic. An answer kept from
// before, still true, is given on the device chain at once: it costs no query, and the
// trip through the other chain's queue and wake-up would be most of its time.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "cds/cds_object.h"
#include "cds/cds_to_didl.h"
#include "cds/file_system_enumerator.h"
#include "library/media_record.h"

struct FLibChain;
struct FLibWebSession;
struct MediaServerAbstraction;

// One queued Browse or Search. Kinds are those of the enumerator (kFseBrowseMetadata,
// kFseBrowseDirectChildren, kFseSearch).
struct MslRequest {
  int kind = kFseBrowseMetadata;
  MediaServerAbstraction* abstraction = nullptr;  // the layer that answers
  FLibWebSession* session = nullptr;              // one reference held while queued
  std::string objectId;                           // Browse ObjectID or Search ContainerID
  std::string filter;
  uint32_t startingIndex = 0;
  uint32_t requestedCount = 0;
  uint32_t position = 0;  // the current position in the window
  std::string sortCriteria;
  std::string searchCriteria;
  uint32_t localAddress = 0;  // host order, of the connection that carried it
  uint16_t localPort = 0;
  std::vector<uint32_t> addresses;  // the host's IPv4 addresses, the receiving one first
  // The answer's SOAP body while the writer gathers it; it goes out whole at the end.
  // Only the answer writer touches it, on the logic's chain.
  mutable std::string answerBody;
};

// Where the answer of a processed request goes. Called on the logic's chain, and on the
// device chain for a kept answer given as the request arrives.
class MslAnswerWriter {
 public:
  virtual ~MslAnswerWriter() = default;
  virtual void SendError(const MslRequest& request, int code, std::string_view text) = 0;
  virtual void Begin(const MslRequest& request) = 0;
  virtual void Append(const MslRequest& request, std::string_view fragment) = 0;
  virtual void Finish(const MslRequest& request, uint32_t numberReturned, uint32_t totalMatches,
                      uint32_t updateId) = 0;
};

// Adds to an object what the enumerator does not know (its resources), given the library
// record it was made from and the filter mask of the request.
using MslObjectCallback = std::function<void(const MslRequest& request, const MediaRecord& record,
                                             CdsFilter mask, CdsMediaObject* object)>;
// The whole enumerator answer of one request (FSE_Answer in the service).
using MslResolver = std::function<FseAnswer(const FseRequest& request)>;

struct MediaServerLogic;

// Creates the logic as a module of `chain` (which it wakes when a request is queued).
// `writer` must outlive the chain. Returns the module, owned by the chain.
MediaServerLogic* MSL_Create(FLibChain* chain, MslResolver resolver, MslAnswerWriter* writer);
// Appends a per-object callback. Any thread.
void MSL_RegisterObjectCallback(MediaServerLogic* logic, MslObjectCallback callback);
// Takes a reference on the request's session and queues it; any thread. A request whose
// kept answer (see MSL_SetInputsState) can be checked at once is answered here instead,
// on the caller's thread. False when the logic has stopped: the request is then not taken
// (the caller still owns it and its session reference was not taken).
bool MSL_EnqueueRequest(MediaServerLogic* logic, std::unique_ptr<MslRequest>* request);
// Lets the logic keep answers for reuse: `state` gives, as one number, whatever besides
// the library, the files looked at and the request the object callbacks read (settings),
// and differs whenever any of it does. Without it no answer is kept. Before the chain runs.
void MSL_SetInputsState(MediaServerLogic* logic, std::function<uint64_t()> state);
// Called, on the logic's chain, while an answer is made by code that does more than read
// (it writes a file the answer relies on): that answer is not kept, so the work is done
// again next time.
void MSL_AnswerNotReusable();
// Answers every queued request; returns how many. Runs on the logic's chain.
size_t MSL_ProcessQueue(MediaServerLogic* logic);
// Answers one request through the writer.
void MSL_ProcessRequest(MediaServerLogic* logic, MslRequest* request);
