// FFmpeg's demuxing library, loaded on first use.
//
// libavformat brings a dependency tree of some sixty libraries (every codec, TLS, SVG,
// XML, network protocols...) whose loading alone costs about 24 MB of resident memory,
// four times all the rest of the program. Most of the time a server needs none of it: a
// song's tags and numbers come from TagLib, and FFmpeg is asked only about video and the
// formats TagLib does not read. So it is not linked into the program; the first such
// file loads it, and a server that never meets one never maps it.
#pragma once

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/dict.h>
#include <libavutil/frame.h>
#include <libavutil/log.h>
#include <libavutil/mathematics.h>
}

namespace media {

// The FFmpeg functions this program calls, resolved from the loaded libraries. The types
// are the libraries' own declarations, so a call through the table is checked like a
// direct call.
struct FfmpegApi {
  decltype(&::avformat_open_input) avformat_open_input;
  decltype(&::avformat_close_input) avformat_close_input;
  decltype(&::avformat_find_stream_info) avformat_find_stream_info;
  decltype(&::av_find_input_format) av_find_input_format;
  decltype(&::av_dict_set) av_dict_set;
  decltype(&::av_dict_set_int) av_dict_set_int;
  decltype(&::av_dict_get) av_dict_get;
  decltype(&::av_dict_free) av_dict_free;
  decltype(&::av_rescale_q) av_rescale_q;
  // Decoding, for the frame that video album art is made from. libavformat needs
  // libavcodec anyway, so resolving these maps nothing more.
  decltype(&::av_find_best_stream) av_find_best_stream;
  decltype(&::av_read_frame) av_read_frame;
  decltype(&::avformat_seek_file) avformat_seek_file;
  decltype(&::avcodec_find_decoder) avcodec_find_decoder;
  decltype(&::avcodec_alloc_context3) avcodec_alloc_context3;
  decltype(&::avcodec_free_context) avcodec_free_context;
  decltype(&::avcodec_parameters_to_context) avcodec_parameters_to_context;
  decltype(&::avcodec_open2) avcodec_open2;
  decltype(&::avcodec_send_packet) avcodec_send_packet;
  decltype(&::avcodec_receive_frame) avcodec_receive_frame;
  decltype(&::av_packet_alloc) av_packet_alloc;
  decltype(&::av_packet_free) av_packet_free;
  decltype(&::av_packet_unref) av_packet_unref;
  decltype(&::av_frame_alloc) av_frame_alloc;
  decltype(&::av_frame_free) av_frame_free;
  decltype(&::av_frame_move_ref) av_frame_move_ref;
  decltype(&::av_frame_unref) av_frame_unref;
};

// The loaded functions, with FFmpeg's own logging silenced; nullptr when the libraries
// are missing or are not the versions this program was built for (said once in the log).
// Safe to call from any thread.
const FfmpegApi* Ffmpeg_Ensure();

}  // namespace media
