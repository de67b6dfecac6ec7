#include "media/av_probe.h"

#include <algorithm>
#include <memory>
#include <mutex>
#include <string_view>
#include <utility>

#include "media/ffmpeg_support.h"
#include "media/limits.h"
#include "platform/text.h"

namespace media {
namespace {

// FFmpeg's demuxers are reentrant, but opening runs probes and codec look-ups that other
// subsystems may drive at the same time; one lock keeps opening simple to reason about.
std::mutex g_openMutex;

// Only reached once AvProbe_Read has seen the libraries load.
const FfmpegApi& Av() { return *Ffmpeg_Ensure(); }

struct FormatCloser {
  void operator()(AVFormatContext* context) const { Av().avformat_close_input(&context); }
};
using FormatPtr = std::unique_ptr<AVFormatContext, FormatCloser>;

struct DictFree {
  void operator()(AVDictionary* dict) const { Av().av_dict_free(&dict); }
};

bool IsMediaStream(const AVStream* stream) {
  const AVCodecParameters* par = stream->codecpar;
  if (par->codec_id == AV_CODEC_ID_NONE) return false;
  if (stream->disposition & AV_DISPOSITION_ATTACHED_PIC) return false;
  return par->codec_type == AVMEDIA_TYPE_AUDIO || par->codec_type == AVMEDIA_TYPE_VIDEO;
}

// The value of `key` in the container's tags, else in the first media stream that has it
// (Ogg keeps its comments on the stream).
std::string TagValue(const AVFormatContext* context, const char* key) {
  const AVDictionaryEntry* entry = Av().av_dict_get(context->metadata, key, nullptr, 0);
  for (unsigned i = 0; entry == nullptr && i < context->nb_streams; ++i) {
    if (IsMediaStream(context->streams[i])) {
      entry = Av().av_dict_get(context->streams[i]->metadata, key, nullptr, 0);
    }
  }
  if (entry == nullptr || entry->value == nullptr) return {};
  return TagTextToUtf8(entry->value);
}

// The sum of the streams' own rates when every media stream states one (the nominal rate
// a tag editor shows), else the container's estimate.
int64_t BitRate(const AVFormatContext* context) {
  int64_t sum = 0;
  bool complete = true;
  for (unsigned i = 0; i < context->nb_streams; ++i) {
    const AVStream* stream = context->streams[i];
    if (!IsMediaStream(stream)) continue;
    int64_t rate = stream->codecpar->bit_rate;
    if (rate <= 0 || rate > INT64_MAX - sum) {
      complete = false;
      break;
    }
    sum += rate;
  }
  if (complete && sum > 0) return sum;
  return context->bit_rate > 0 ? context->bit_rate : 0;
}

// The demuxer a file's extension names, for formats whose demuxer checks the file's own
// signature while reading the header, so a misnamed file fails to open and is probed
// instead. Naming the demuxer spares running every demuxer's probe over the file, which
// also keeps their code out of memory.
const AVInputFormat* DemuxerForExtension(const std::string& path) {
  static constexpr std::pair<std::string_view, const char*> kSigned[] = {
      {".mp4", "mov"},       {".m4a", "mov"},   {".m4v", "mov"},      {".mov", "mov"},
      {".3gp", "mov"},       {".avi", "avi"},   {".mkv", "matroska"}, {".mka", "matroska"},
      {".webm", "matroska"}, {".flac", "flac"}, {".ogg", "ogg"},      {".oga", "ogg"},
      {".wav", "wav"},       {".wma", "asf"},   {".wmv", "asf"},      {".asf", "asf"},
  };
  for (const auto& [extension, demuxer] : kSigned) {
    if (platform::EndsWithNoCase(path, extension)) return Av().av_find_input_format(demuxer);
  }
  return nullptr;
}

FormatPtr OpenWith(const std::string& path, const AVInputFormat* format) {
  AVDictionary* rawOptions = nullptr;
  Av().av_dict_set(&rawOptions, "protocol_whitelist", "file", 0);
  Av().av_dict_set_int(&rawOptions, "probesize", media_limits::kProbeSizeBytes, 0);
  Av().av_dict_set_int(&rawOptions, "analyzeduration", media_limits::kProbeAnalyzeDurationUs, 0);
  std::unique_ptr<AVDictionary, DictFree> options(rawOptions);

  // The "file:" prefix keeps a name such as "concat:a|b" from being read as a protocol.
  std::string url = "file:" + path;
  AVFormatContext* raw = nullptr;
  AVDictionary* opts = options.release();
  int rc = Av().avformat_open_input(&raw, url.c_str(), format, &opts);
  Av().av_dict_free(&opts);
  if (rc < 0) return nullptr;
  return FormatPtr(raw);
}

// Duration in microseconds as the header states it: the container's own figure, else the
// longest media stream's. 0 when the header does not say.
int64_t HeaderDurationUs(const AVFormatContext* context) {
  if (context->duration != AV_NOPTS_VALUE && context->duration > 0) return context->duration;
  int64_t longest = 0;
  for (unsigned i = 0; i < context->nb_streams; ++i) {
    const AVStream* stream = context->streams[i];
    if (!IsMediaStream(stream) || stream->duration == AV_NOPTS_VALUE || stream->duration <= 0 ||
        stream->time_base.num <= 0 || stream->time_base.den <= 0) {
      continue;
    }
    longest = std::max(longest, Av().av_rescale_q(stream->duration, stream->time_base,
                                                  AVRational{1, AV_TIME_BASE}));
  }
  return longest;
}

bool EveryMediaStream(const AVFormatContext* context, bool (*test)(const AVStream*)) {
  bool any = false;
  for (unsigned i = 0; i < context->nb_streams; ++i) {
    if (!IsMediaStream(context->streams[i])) continue;
    if (!test(context->streams[i])) return false;
    any = true;
  }
  return any;
}

bool IsAudio(const AVStream* stream) { return stream->codecpar->codec_type == AVMEDIA_TYPE_AUDIO; }
bool HasBitRate(const AVStream* stream) { return stream->codecpar->bit_rate > 0; }

// Reading into the streams decodes their first frames, which costs time and brings every
// decoder involved into memory. It is skipped when the header already gave what is
// reported: a duration and every stream's bit rate, or, for audio whose length and rate
// TagLib has read, the tags alone.
bool HeaderIsEnough(const AVFormatContext* context, bool audioPropertiesKnown) {
  if (audioPropertiesKnown && EveryMediaStream(context, IsAudio)) return true;
  return HeaderDurationUs(context) > 0 && EveryMediaStream(context, HasBitRate);
}

FormatPtr Open(const std::string& path, bool audioPropertiesKnown) {
  std::lock_guard lock(g_openMutex);
  FormatPtr context;
  if (const AVInputFormat* named = DemuxerForExtension(path)) {
    context = OpenWith(path, named);
  }
  if (!context) context = OpenWith(path, nullptr);
  if (!context) return nullptr;
  if (!HeaderIsEnough(context.get(), audioPropertiesKnown)) {
    // A failure here still leaves what the header told; the caller decides from that.
    Av().avformat_find_stream_info(context.get(), nullptr);
  }
  return context;
}

}  // namespace

std::string TagTextToUtf8(std::string_view text) {
  if (platform::IsValidUtf8(text)) return std::string(text);
  std::string out;
  out.reserve(text.size() * 2);
  for (char c : text) platform::AppendUtf8(out, static_cast<unsigned char>(c));
  return out;
}

bool AvProbe_ReadHere(const std::string& path, AvProbeResult* result, bool audioPropertiesKnown) {
  *result = AvProbeResult();
  if (Ffmpeg_Ensure() == nullptr) return false;
  FormatPtr context = Open(path, audioPropertiesKnown);
  if (!context) return false;

  bool hasMedia = false;
  for (unsigned i = 0; i < context->nb_streams; ++i) {
    if (IsMediaStream(context->streams[i])) hasMedia = true;
  }
  if (!hasMedia) return false;

  result->durationUs = HeaderDurationUs(context.get());
  result->bitRate = BitRate(context.get());
  result->title = TagValue(context.get(), "title");
  result->album = TagValue(context.get(), "album");
  result->artist = TagValue(context.get(), "artist");
  if (result->artist.empty()) result->artist = TagValue(context.get(), "author");
  result->genre = TagValue(context.get(), "genre");
  result->track = TagValue(context.get(), "track");
  result->date = TagValue(context.get(), "date");
  if (result->date.empty()) result->date = TagValue(context.get(), "year");
  return true;
}

}  // namespace media
