// Encoder sessions: one external encoder process per stream, writing into a named
// shared-memory ring that the server drains.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "platform/process.h"
#include "transcode/transcode_ring.h"

// One row of the encoder profile table. Row 0 is the one used.
struct TranscodeProfileRow {
  const char* name;
  const char* options;
  const char* outputMime;
  const char* protocolInfo;
};
inline constexpr int kTranscodeProfileRowCount = 3;
extern const TranscodeProfileRow kTranscodeProfileRows[kTranscodeProfileRowCount];
// The process-wide profile index; nothing changes it.
inline constexpr int kTranscodeProfileIndex = 0;

// Where the encoder lives and the source prefixes that pick its special modes.
struct TranscodeConfig {
  // Directory holding "ZerazU.eng"; empty means the program directory.
  std::string encoderDirectory;
  // Sources beginning with the internet TV provider's RTSP prefix are copied into an
  // MPEG program stream; those beginning with the video site's address are scaled down.
  std::string providerRtspPrefix;
  std::string youTubePrefix;
  // How long the encoder has to acknowledge a stop request before it is terminated.
  int stopAckLimitMs;
  // How long a read may wait for data from a living encoder before the stream ends.
  int idleReadLimitMs;
};

// The configuration in force, and a way to replace it (at start-up, or in tests).
TranscodeConfig Transcode_Config();
void Transcode_SetConfig(const TranscodeConfig& config);
TranscodeConfig Transcode_DefaultConfig();

// The slot the next session tries first (0..900). For tests.
void Transcode_SetNextSlot(int slot);
int Transcode_NextSlot();

enum class TranscodeMode { kVideo, kAudio };
// Audio for "audio/x-ogg" and the pseudo type "force_audio_transcode", else video.
TranscodeMode Transcode_ModeForMime(std::string_view mime);

// The encoder's command line for `source`, or empty when it would not fit its limit.
std::string Transcode_FormCommandLine(const std::string& source, TranscodeMode mode,
                                      const std::string& sharedName);

// One running encoder and its ring. Made by TranscodeStart, ended by TranscodeStop;
// destroying a session that was not stopped stops it the same way.
struct TranscodeSession {
  TranscodeSession() = default;
  ~TranscodeSession();
  TranscodeSession(const TranscodeSession&) = delete;
  TranscodeSession& operator=(const TranscodeSession&) = delete;

  bool stopped = false;
  transcode::SharedArea mapping;  // the named area and its view
  transcode::RingView header;     // valid while `mapping` is
  bool hasHeader = false;
  platform::Process process;
  bool processGone = false;  // the encoder has been seen to end
  std::string source;
  std::string sharedName;
  transcode::SharedMutex mutex;
  int slot = -1;
};

using TranscodeSessionPtr = std::unique_ptr<TranscodeSession>;

// Starts the encoder on `source` (UTF-8 file path or URL). Null on failure; a failed
// start leaves no process, area or mutex behind.
TranscodeSessionPtr TranscodeStart(const std::string& source, std::string_view mime);
// The same for a path that the caller held as wide text (UTF-8 here as everywhere).
TranscodeSessionPtr TranscodeStartWide(const std::string& path, std::string_view mime);

// Copies at most `length` bytes; 0 when nothing came after the read attempts (end).
size_t TranscodeRead(TranscodeSession* session, uint8_t* buffer, size_t length);
// Stops the encoder (asking first, terminating it when it does not acknowledge in time),
// releases the area, mutex and process, and frees the session.
void TranscodeStop(TranscodeSessionPtr session);
