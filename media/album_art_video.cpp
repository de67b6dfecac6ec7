// Album art of videos: one frame about a tenth of the way in, where titles and black
// lead-ins are usually over, decoded with FFmpeg and scaled like any other picture.

#include <memory>
#include <string>
#include <vector>

#include "media/album_art.h"
#include "media/ffmpeg_support.h"
#include "media/limits.h"

namespace media {
namespace {

// Only reached once the libraries have loaded.
const FfmpegApi& Av() { return *Ffmpeg_Ensure(); }

struct FormatCloser {
  void operator()(AVFormatContext* context) const { Av().avformat_close_input(&context); }
};
struct CodecFree {
  void operator()(AVCodecContext* context) const { Av().avcodec_free_context(&context); }
};
struct PacketFree {
  void operator()(AVPacket* packet) const { Av().av_packet_free(&packet); }
};
struct FrameFree {
  void operator()(AVFrame* frame) const { Av().av_frame_free(&frame); }
};
using FormatPtr = std::unique_ptr<AVFormatContext, FormatCloser>;
using CodecPtr = std::unique_ptr<AVCodecContext, CodecFree>;
using PacketPtr = std::unique_ptr<AVPacket, PacketFree>;
using FramePtr = std::unique_ptr<AVFrame, FrameFree>;

FormatPtr Open(const std::string& path) {
  AVDictionary* options = nullptr;
  Av().av_dict_set(&options, "protocol_whitelist", "file", 0);
  Av().av_dict_set_int(&options, "probesize", media_limits::kProbeSizeBytes, 0);
  Av().av_dict_set_int(&options, "analyzeduration", media_limits::kProbeAnalyzeDurationUs, 0);
  // The "file:" prefix keeps a name such as "concat:a|b" from being read as a protocol.
  std::string url = "file:" + path;
  AVFormatContext* raw = nullptr;
  int rc = Av().avformat_open_input(&raw, url.c_str(), nullptr, &options);
  Av().av_dict_free(&options);
  if (rc < 0) return nullptr;
  FormatPtr format(raw);
  if (Av().avformat_find_stream_info(format.get(), nullptr) < 0) return nullptr;
  return format;
}

// The planar 8-bit YUV layouts that decoders of common video give, with the chroma
// subsampling shifts and whether the samples use the full range.
struct PlanarLayout {
  AVPixelFormat format;
  int shiftX;
  int shiftY;
  bool fullRange;
};
constexpr PlanarLayout kLayouts[] = {
    {AV_PIX_FMT_YUV420P, 1, 1, false}, {AV_PIX_FMT_YUVJ420P, 1, 1, true},
    {AV_PIX_FMT_YUV422P, 1, 0, false}, {AV_PIX_FMT_YUVJ422P, 1, 0, true},
    {AV_PIX_FMT_YUV444P, 0, 0, false}, {AV_PIX_FMT_YUVJ444P, 0, 0, true},
    {AV_PIX_FMT_YUV411P, 2, 0, false}, {AV_PIX_FMT_YUV440P, 0, 1, false},
};

uint8_t Clamp(int value) { return static_cast<uint8_t>(value < 0 ? 0 : value > 255 ? 255 : value); }

// ITU-R BT.601 YUV to RGB in 8.8 fixed point.
void ToRgb(int y, int u, int v, bool fullRange, uint8_t* rgb) {
  int d = u - 128;
  int e = v - 128;
  int c = fullRange ? y * 256 : (y - 16) * 298;
  int r = fullRange ? 359 * e : 409 * e;
  int g = fullRange ? -88 * d - 183 * e : -100 * d - 208 * e;
  int b = fullRange ? 454 * d : 516 * d;
  rgb[0] = Clamp((c + r + 128) >> 8);
  rgb[1] = Clamp((c + g + 128) >> 8);
  rgb[2] = Clamp((c + b + 128) >> 8);
}

// The frame as top-down RGB rows; empty for a pixel format this code does not convert
// (the video then has no album art).
std::vector<uint8_t> FrameRgb(const AVFrame* frame) {
  const PlanarLayout* layout = nullptr;
  for (const PlanarLayout& candidate : kLayouts) {
    if (candidate.format == frame->format) layout = &candidate;
  }
  bool grey = frame->format == AV_PIX_FMT_GRAY8;
  int64_t pixels = static_cast<int64_t>(frame->width) * frame->height;
  if ((layout == nullptr && !grey) || frame->width <= 0 || frame->height <= 0 ||
      pixels > media_limits::kAlbumArtMaxFramePixels)
    return {};
  std::vector<uint8_t> rgb(static_cast<size_t>(pixels) * 3);
  uint8_t* out = rgb.data();
  for (int row = 0; row < frame->height; ++row) {
    const uint8_t* ys = frame->data[0] + static_cast<ptrdiff_t>(row) * frame->linesize[0];
    const uint8_t* us = nullptr;
    const uint8_t* vs = nullptr;
    if (!grey) {
      ptrdiff_t chromaRow = row >> layout->shiftY;
      us = frame->data[1] + chromaRow * frame->linesize[1];
      vs = frame->data[2] + chromaRow * frame->linesize[2];
    }
    for (int column = 0; column < frame->width; ++column, out += 3) {
      if (grey) {
        out[0] = out[1] = out[2] = ys[column];
        continue;
      }
      int chroma = column >> layout->shiftX;
      ToRgb(ys[column], us[chroma], vs[chroma], layout->fullRange, out);
    }
  }
  return rgb;
}

// The first frame of the video stream at or after `target` (in the stream's time base)
// from where the file is positioned, else the last frame before the end; null when none
// is decoded within kAlbumArtMaxPackets packets.
FramePtr DecodeFrame(AVFormatContext* format, int stream, AVCodecContext* codec, int64_t target) {
  PacketPtr packet(Av().av_packet_alloc());
  FramePtr frame(Av().av_frame_alloc());
  FramePtr last(Av().av_frame_alloc());
  if (!packet || !frame || !last) return nullptr;
  bool haveLast = false;
  for (int read = 0; read < media_limits::kAlbumArtMaxPackets; ++read) {
    bool more = Av().av_read_frame(format, packet.get()) >= 0;
    if (more && packet->stream_index != stream) {
      Av().av_packet_unref(packet.get());
      continue;
    }
    // At the end, an empty packet drains the frames the decoder still holds.
    Av().avcodec_send_packet(codec, more ? packet.get() : nullptr);
    if (more) Av().av_packet_unref(packet.get());
    while (Av().avcodec_receive_frame(codec, frame.get()) == 0) {
      int64_t time = frame->best_effort_timestamp;
      if (time == AV_NOPTS_VALUE || time >= target) return frame;
      Av().av_frame_unref(last.get());
      Av().av_frame_move_ref(last.get(), frame.get());
      haveLast = true;
    }
    if (!more) break;
  }
  return haveLast ? std::move(last) : nullptr;
}

}  // namespace

bool AlbumArt_FromVideo(const std::string& videoPath, const std::string& jpegPath) {
  if (Ffmpeg_Ensure() == nullptr) return false;
  FormatPtr format = Open(videoPath);
  if (!format) return false;
  int stream = Av().av_find_best_stream(format.get(), AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
  if (stream < 0) return false;
  const AVCodecParameters* parameters = format->streams[stream]->codecpar;
  const AVCodec* decoder = Av().avcodec_find_decoder(parameters->codec_id);
  CodecPtr codec(decoder != nullptr ? Av().avcodec_alloc_context3(decoder) : nullptr);
  if (!codec || Av().avcodec_parameters_to_context(codec.get(), parameters) < 0) return false;
  // One decoding thread: the worker runs at idle priority, and threads the decoder made
  // would not.
  codec->thread_count = 1;
  if (Av().avcodec_open2(codec.get(), decoder, nullptr) < 0) return false;
  // From the key frame at or before the tenth, frames are decoded up to the tenth; when
  // the length is unknown or the seek fails, the first frame is taken.
  int64_t target = INT64_MIN;
  const AVStream* video = format->streams[stream];
  if (format->duration > 0 && video->time_base.num > 0 && video->time_base.den > 0) {
    int64_t tenth = format->duration / 10;
    if (format->start_time != AV_NOPTS_VALUE) tenth += format->start_time;
    if (Av().avformat_seek_file(format.get(), -1, INT64_MIN, tenth, tenth, 0) >= 0)
      target = Av().av_rescale_q(tenth, AVRational{1, AV_TIME_BASE}, video->time_base);
  }
  FramePtr frame = DecodeFrame(format.get(), stream, codec.get(), target);
  if (!frame) return false;
  std::vector<uint8_t> rgb = FrameRgb(frame.get());
  return !rgb.empty() && AlbumArt_FromRgb(rgb.data(), frame->width, frame->height, jpegPath);
}

}  // namespace media
