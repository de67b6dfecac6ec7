#include "transcode/transcode_session.h"

#include <errno.h>

#include <bitset>
#include <mutex>

#include "media/media_type.h"
#include "platform/app_directory.h"
#include "platform/log.h"
#include "platform/text.h"
#include "platform/tick.h"
#include "transcode/transcode_limits.h"

namespace tl = transcode_limits;
using transcode::SharedMutex;

const TranscodeProfileRow kTranscodeProfileRows[kTranscodeProfileRowCount] = {
    {"Very High quality",
     "-ovc xvid -ffourcc XVID -xvidencopts "
     "chroma_opt:vhq=4:bvhq=1:quant_type=mpeg:pass=1:bitrate=1500 -oac mp3lame",
     "video/x-ms-avi", "http-get:*:video/x-ms-avi:*"},
    {"High quality",
     "-ovc xvid -ffourcc XVID -xvidencopts "
     "vhq=2:bvhq=1:chroma_opt:quant_type=mpeg:pass=1:bitrate=1500 -oac mp3lame",
     "video/x-ms-avi", "http-get:*:video/x-ms-avi:*"},
    {"Fast", "-ovc xvid -ffourcc XVID -xvidencopts turbo:vhq=0:pass=1:bitrate=1500 -oac mp3lame",
     "video/x-ms-avi", "http-get:*:video/x-ms-avi:*"},
};

namespace {

constexpr const char* kProviderOptions = "-of mpeg -mpegopts format=dvd -ovc copy -oac copy";
constexpr const char* kYouTubeOptions =
    "-ovc xvid -ffourcc XVID -xvidencopts "
    "chroma_opt:vhq=4:bvhq=1:quant_type=mpeg:pass=1:bitrate=1500 -oac mp3lame -vf scale=320:240";
constexpr const char* kYouTubeSiteAddress = "http://www.youtube.com";

std::mutex g_configMutex;
TranscodeConfig g_config = Transcode_DefaultConfig();

// Slots in use by this process, and the slot the next start tries first. Slots held by
// other processes are found through the exclusive creation of their shared objects.
std::mutex g_slotMutex;
std::bitset<tl::kMaxSlot + 1> g_slotsInUse;
int g_nextSlot = 0;

int WrapSlot(int slot) { return slot > tl::kMaxSlot || slot < 0 ? 0 : slot; }

// The first free slot at or after `from` (cyclically), marked in use; -1 when none is.
int ReserveSlot(int from) {
  std::lock_guard lock(g_slotMutex);
  for (int i = 0; i <= tl::kMaxSlot; ++i) {
    int slot = (from + i) % (tl::kMaxSlot + 1);
    if (!g_slotsInUse[slot]) {
      g_slotsInUse[slot] = true;
      return slot;
    }
  }
  return -1;
}

void ReleaseSlot(int slot) {
  std::lock_guard lock(g_slotMutex);
  if (slot >= 0 && slot <= tl::kMaxSlot) g_slotsInUse[slot] = false;
}

void AdvanceSlotAfter(int slot) {
  std::lock_guard lock(g_slotMutex);
  g_nextSlot = WrapSlot(slot + 1);
}

bool StartsWith(const std::string& text, const std::string& prefix) {
  return !prefix.empty() && text.compare(0, prefix.size(), prefix) == 0;
}

// Quotes `text` for a double-quoted argument so that the encoder's splitter gives it
// back unchanged: a quote is escaped, and backslashes before a quote or before the
// closing quote are doubled. Ordinary paths and URLs come out as they are.
std::string QuoteArgumentBody(const std::string& text) {
  std::string out;
  size_t backslashes = 0;
  for (char c : text) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    if (c == '"') {
      out.append(backslashes * 2 + 1, '\\');
    } else {
      out.append(backslashes, '\\');
    }
    backslashes = 0;
    out.push_back(c);
  }
  out.append(backslashes * 2, '\\');
  return out;
}

// Result of one wait for the ring's mutex.
enum WaitResult { kWaitFailed = 0, kWaitHeld = 1, kWaitEncoderGone = -1 };

bool EncoderGone(TranscodeSession* session) {
  if (!session->processGone && !session->process.IsRunning()) session->processGone = true;
  return session->processGone;
}

// Waits for the mutex in short slices, looking at the encoder between them, until
// `deadlineMs` (tick count). `*held` tells whether the mutex is held on return.
int WaitForEncoderUntil(TranscodeSession* session, bool* held, uint64_t deadlineMs) {
  *held = false;
  for (;;) {
    SharedMutex::LockResult result = session->mutex.Lock(tl::kMutexWaitMs);
    if (result == SharedMutex::LockResult::kFailed) return kWaitFailed;
    // An abandoned mutex is released once; the owner's end shows through the process.
    if (result == SharedMutex::LockResult::kAbandoned) session->mutex.Unlock();
    bool acquired = result == SharedMutex::LockResult::kAcquired;
    if (EncoderGone(session)) {
      *held = acquired;
      return kWaitEncoderGone;
    }
    if (acquired) {
      *held = true;
      return kWaitHeld;
    }
    if (platform::TickCountMs() >= deadlineMs) return kWaitFailed;
  }
}

// With the encoder gone nobody else touches the area, but the mutex is still taken so
// that a caller's unlock always pairs with a lock.
bool HoldAfterEncoderGone(TranscodeSession* session) {
  SharedMutex::LockResult result = session->mutex.Lock(tl::kMutexWaitMs);
  return result == SharedMutex::LockResult::kAcquired ||
         result == SharedMutex::LockResult::kAbandoned;
}

uint32_t WaitForDataUntil(TranscodeSession* session, uint64_t deadlineMs) {
  if (!session->hasHeader) return 0;
  for (;;) {
    bool held = false;
    int wait = WaitForEncoderUntil(session, &held, deadlineMs);
    if (wait == kWaitFailed) return 0;
    if (wait == kWaitEncoderGone && !held && !HoldAfterEncoderGone(session)) return 0;
    // A header whose offsets lie outside the ring ends the stream.
    if (!session->header.OffsetsValid()) {
      session->mutex.Unlock();
      return 0;
    }
    uint32_t available = session->header.Available();
    if (available > 0) return available;
    uint32_t state = session->header.State();
    session->mutex.Unlock();
    if (wait == kWaitEncoderGone || state != tl::kStateEncoding) return 0;
    if (platform::TickCountMs() >= deadlineMs) return 0;
    platform::SleepMs(tl::kDataPollMs);
  }
}

uint64_t IdleDeadline() {
  return platform::TickCountMs() + static_cast<uint64_t>(Transcode_Config().idleReadLimitMs);
}

size_t ReadAttempt(TranscodeSession* session, uint8_t* buffer, size_t length, uint64_t deadlineMs) {
  if (WaitForDataUntil(session, deadlineMs) == 0) return 0;
  if (session->stopped) {
    session->mutex.Unlock();
    return 0;
  }
  size_t n = session->header.Read(buffer, length);
  session->mutex.Unlock();
  return n;
}

// Asks the encoder to stop and waits for its acknowledgement until the limit. Returns
// false when it neither acknowledged nor ended in time.
bool RequestStop(TranscodeSession* session, int limitMs) {
  uint64_t deadline = platform::TickCountMs() + static_cast<uint64_t>(limitMs);
  bool held = false;
  int wait = WaitForEncoderUntil(session, &held, deadline);
  if (wait == kWaitFailed) return false;
  bool requested = false;
  if (wait == kWaitEncoderGone) {
    session->header.SetState(tl::kStateStopped);
  } else if (session->header.State() == tl::kStateEncoding) {
    session->header.SetState(tl::kStateStopRequested);
    requested = true;
  }
  if (held) session->mutex.Unlock();
  if (!requested) return true;
  for (;;) {
    wait = WaitForEncoderUntil(session, &held, deadline);
    if (wait == kWaitEncoderGone) {
      session->header.SetState(tl::kStateStopped);
      if (held) session->mutex.Unlock();
      return true;
    }
    if (wait == kWaitFailed) return false;
    uint32_t state = session->header.State();
    session->mutex.Unlock();
    if (state == tl::kStateStopped) return true;
    if (platform::TickCountMs() >= deadline) return false;
    platform::SleepMs(tl::kStopPollMs);
  }
}

void StopSession(TranscodeSession* session) {
  if (!session->hasHeader) return;
  TranscodeConfig config = Transcode_Config();
  bool acknowledged = RequestStop(session, config.stopAckLimitMs);
  session->stopped = true;
  platform::Log("Transcoding Thread Stop...\n");
  // An acknowledging encoder exits at once; one that did not acknowledge, or does not
  // exit, is terminated. Either way it is reaped before the area goes away.
  if (!acknowledged || !session->process.Wait(tl::kEncoderExitGraceMs)) {
    if (!acknowledged)
      platform::Logf("Encoder of %s did not stop; terminating it\n", session->sharedName.c_str());
    session->process.Terminate(tl::kEncoderExitGraceMs);
  }
  session->processGone = true;
  session->hasHeader = false;
  session->header = {};
  session->mapping.Reset();
  session->mutex.Reset();
}

}  // namespace

TranscodeConfig Transcode_DefaultConfig() {
  return TranscodeConfig{{},
                         std::string(kIspTvRtspPrefix, kIspTvRtspPrefixLength),
                         kYouTubeSiteAddress,
                         tl::kStopAckLimitMs,
                         tl::kIdleReadLimitMs};
}

TranscodeConfig Transcode_Config() {
  std::lock_guard lock(g_configMutex);
  return g_config;
}

void Transcode_SetConfig(const TranscodeConfig& config) {
  std::lock_guard lock(g_configMutex);
  g_config = config;
}

void Transcode_SetNextSlot(int slot) {
  std::lock_guard lock(g_slotMutex);
  g_nextSlot = WrapSlot(slot);
}

int Transcode_NextSlot() {
  std::lock_guard lock(g_slotMutex);
  return g_nextSlot;
}

TranscodeMode Transcode_ModeForMime(std::string_view mime) {
  if (platform::AsciiEqualsNoCase(mime, "audio/x-ogg") ||
      platform::AsciiEqualsNoCase(mime, "force_audio_transcode")) {
    return TranscodeMode::kAudio;
  }
  return TranscodeMode::kVideo;
}

std::string Transcode_FormCommandLine(const std::string& source, TranscodeMode mode,
                                      const std::string& sharedName) {
  std::string quoted = "\"" + QuoteArgumentBody(source) + "\"";
  std::string line;
  if (mode == TranscodeMode::kAudio) {
    line = std::string(tl::kEncoderFileName) + " -i " + quoted + " -f mp3 mmap:" + sharedName + " ";
  } else {
    TranscodeConfig config = Transcode_Config();
    const char* options = kTranscodeProfileRows[kTranscodeProfileIndex].options;
    if (StartsWith(source, config.providerRtspPrefix)) {
      options = kProviderOptions;
    } else if (StartsWith(source, config.youTubePrefix)) {
      options = kYouTubeOptions;
    }
    line = std::string(tl::kEncoderFileName) + "  " + options + " -o mmap:\\\\" + sharedName + " " +
           quoted;
  }
  if (line.size() > tl::kCommandLineMax) return {};
  return line;
}

TranscodeSession::~TranscodeSession() {
  StopSession(this);
  ReleaseSlot(slot);
}

TranscodeSessionPtr TranscodeStart(const std::string& source, std::string_view mime) {
  if (source.empty()) return nullptr;
  auto session = std::make_unique<TranscodeSession>();
  session->source = source;
  TranscodeMode mode = Transcode_ModeForMime(mime);

  // Take the first slot that neither this process nor another holds.
  int from = Transcode_NextSlot();
  for (int attempt = 0; attempt <= tl::kMaxSlot; ++attempt) {
    int slot = ReserveSlot(from);
    if (slot < 0) return nullptr;
    session->slot = slot;
    session->sharedName = transcode::AreaName(slot);
    int error = session->mapping.Create(session->sharedName, tl::kAreaSize);
    if (error == 0) {
      error = session->mutex.Create(transcode::MutexName(slot));
      if (error == 0) break;
      session->mapping.Reset();
      if (error != EEXIST) {
        platform::Log("Create Mutex fail...\n");
        return nullptr;  // the session's destructor frees the slot
      }
    } else if (error != EEXIST) {
      return nullptr;
    }
    ReleaseSlot(slot);
    session->slot = -1;
    from = slot + 1;
  }
  if (!session->mutex.Valid()) return nullptr;

  session->header = transcode::RingView(session->mapping.Data(), tl::kRingSize);
  session->header.Initialize(transcode::MutexName(session->slot));

  std::string commandLine = Transcode_FormCommandLine(source, mode, session->sharedName);
  std::string directory = Transcode_Config().encoderDirectory;
  std::string program = directory.empty() ? platform::ProgramFilePath(tl::kEncoderFileName)
                                          : directory + "/" + tl::kEncoderFileName;
  if (commandLine.empty() || session->process.StartCommandLine(program, commandLine) != 0) {
    platform::Log("Transcoding Thread Start fail...\n");
    return nullptr;
  }
  session->hasHeader = true;
  platform::Log("Transcoding Thread Start...\n");
  AdvanceSlotAfter(session->slot);
  return session;
}

TranscodeSessionPtr TranscodeStartWide(const std::string& path, std::string_view mime) {
  return TranscodeStart(path, mime);
}

size_t TranscodeRead(TranscodeSession* session, uint8_t* buffer, size_t length) {
  if (session == nullptr || buffer == nullptr || length == 0) return 0;
  // One deadline for all attempts: a hung encoder ends the read after the idle limit,
  // not after ten of them.
  uint64_t deadline = IdleDeadline();
  for (int attempt = 0; attempt < tl::kReadAttempts; ++attempt) {
    size_t n = ReadAttempt(session, buffer, length, deadline);
    if (n > 0) return n;
  }
  return 0;
}

void TranscodeStop(TranscodeSessionPtr session) { session.reset(); }
