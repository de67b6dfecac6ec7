#include "delivery/encoder_source.h"

#include "delivery/transfer.h"
#include "transcode/transcode_session.h"

namespace {

class EncoderSource : public RpSource {
 public:
  explicit EncoderSource(TranscodeSessionPtr session) : session_(std::move(session)) {}
  ~EncoderSource() override { TranscodeStop(std::move(session_)); }

  // The encoder's output is read in order; the offset is meaningless for it.
  int64_t Read(uint64_t, char* buffer, size_t size) override {
    return static_cast<int64_t>(
        TranscodeRead(session_.get(), reinterpret_cast<uint8_t*>(buffer), size));
  }
  int64_t Size() const override { return -1; }
  bool IsStream() const override { return true; }

 private:
  TranscodeSessionPtr session_;
};

// Starts an encoder session on `path` (a file of type `mime`); null when it does not
// start.
std::unique_ptr<RpSource> EncoderSource_Open(const std::string& path, const std::string& mime) {
  TranscodeSessionPtr session = TranscodeStartWide(path, mime);
  if (!session) return nullptr;
  return std::make_unique<EncoderSource>(std::move(session));
}

}  // namespace

void EncoderSource_Register() { RP_SetEncoderOpener(EncoderSource_Open); }
