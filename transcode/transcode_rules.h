// When a shared file is converted for the client, and what the converted stream
// announces: MIME type and DLNA fourth field.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// One row of the quality table chosen by the setting "TransVideoQuality".
struct TranscodeQualityRow {
  const char* name;
  const char* options;
  const char* outputMime;
  const char* protocolInfo;
};
inline constexpr int kTranscodeQualityRowCount = 3;
extern const TranscodeQualityRow kTranscodeQualityRows[kTranscodeQualityRowCount];

// The row the setting selects; an out-of-range setting selects row 0.
const TranscodeQualityRow& Transcode_SelectedQuality();

// The settings the rules below read, as one number that differs whenever any of them does.
uint32_t Transcode_RulesState();

// 1 when files of this MIME type are transcoded (case ignored), else 0.
int Transcode_NeedsTranscodeByMime(std::string_view mime);
// 1 when the path ends in ".avi" and its library record carries the non-DivX mark.
int Transcode_IsMarkedAvi(const std::string& path);
// 1 when the file at `path` is transcoded for clients, else 0.
int Transcode_NeedsTranscode(const std::string& path);
// The MIME type announced for the transcoded stream of a file of type `mime`.
std::string Transcode_OutputMime(std::string_view mime);
// The fourth protocolInfo field announced for the transcoded stream of a file of type
// `mime`: the field of what the encoder sends, see Transcode_FourthFieldOfOutput.
std::string Transcode_OutputFourthField(const std::string& path, std::string_view mime);
// The fourth protocolInfo field of a stream the encoder sends with this MIME type (the
// output type, as Transcode_OutputMime gives it or an internet stream announces it).
std::string Transcode_FourthFieldOfOutput(std::string_view outputMime);
