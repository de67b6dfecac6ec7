// The DIDL-Lite writer. Fragments go into the SOAP Result argument without further
// processing, so the markup is written escaped once and every value escaped twice.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "cds/cds_object.h"

// Filter bits: which optional properties a client asked for.
using CdsFilter = uint32_t;
inline constexpr CdsFilter kFilterTitle = 0x1;
inline constexpr CdsFilter kFilterCreator = 0x2;
inline constexpr CdsFilter kFilterClass = 0x4;
inline constexpr CdsFilter kFilterChildCount = 0x100;
inline constexpr CdsFilter kFilterSearchable = 0x200;
inline constexpr CdsFilter kFilterAlbum = 0x400;
inline constexpr CdsFilter kFilterGenre = 0x800;
inline constexpr CdsFilter kFilterRes = 0x1000;
inline constexpr CdsFilter kFilterResResolution = 0x2000;
inline constexpr CdsFilter kFilterResDuration = 0x4000;
inline constexpr CdsFilter kFilterResBitrate = 0x8000;
inline constexpr CdsFilter kFilterResColorDepth = 0x10000;
inline constexpr CdsFilter kFilterResSize = 0x20000;
inline constexpr CdsFilter kFilterResBitsPerSample = 0x40000;
inline constexpr CdsFilter kFilterResSampleFrequency = 0x80000;
inline constexpr CdsFilter kFilterResNrAudioChannels = 0x100000;
inline constexpr CdsFilter kFilterResProtection = 0x200000;
inline constexpr CdsFilter kFilterResProtocolInfo = 0x400000;
// Music track properties, written after everything else only when asked for by name or
// by "*": a client that asks for neither sees no change.
inline constexpr CdsFilter kFilterArtist = 0x800000;
inline constexpr CdsFilter kFilterOriginalTrackNumber = 0x1000000;
// The subtitle of a video for TVs that fetch it with the video (sec:CaptionInfoEx).
inline constexpr CdsFilter kFilterCaptionInfo = 0x2000000;
// Any res bit: the per-object resource callbacks run only when one is set.
inline constexpr CdsFilter kFilterAnyRes = 0x3FF000;
inline constexpr CdsFilter kFilterAll = 0x7FFFFFFF;
inline constexpr CdsFilter kFilterAllIp = 0x80000000;
// The mask of the SearchCapabilities text.
inline constexpr CdsFilter kSearchCapabilitiesMask = 0x400005;

// Validation failures of the writer.
inline constexpr int kDidlErrorNoClass = -1;
inline constexpr int kDidlErrorObjectType = -2;
inline constexpr int kDidlErrorMajorClass = -3;
inline constexpr int kDidlErrorMinorClass = -4;
inline constexpr int kDidlErrorFourthLevel = -5;
inline constexpr int kDidlErrorContainerRefId = -6;
inline constexpr int kDidlErrorNoTitle = -7;
inline constexpr int kDidlErrorNoId = -8;
inline constexpr int kDidlErrorNoParentId = -9;

// The escaped DIDL-Lite document head and tail that enclose the fragments of one answer.
extern const std::string_view kDidlHeadEscaped;
extern const std::string_view kDidlTailEscaped;

// Parses a Filter argument; empty text gives 0.
CdsFilter CdsToDidl_ParseFilter(std::string_view filter);
// The comma-separated property names of a mask.
std::string CdsToDidl_FilterToString(CdsFilter mask);

// Escapes for a value that is pasted into already escaped markup.
void CdsToDidl_EscapeTwice(std::string_view text, std::string* out);
// "HH:MM:SS" for a positive number of seconds (hours are not wrapped); empty otherwise.
std::string CdsToDidl_FormatDuration(int32_t seconds);

// Appends one object's fragment to *out and returns the number of bytes appended, or a
// negative validation code with nothing appended. `singleEscape` escapes values once
// (plain XML) instead of twice; `wrap` encloses the fragment in the document head and
// tail.
int CdsToDidl_GetmediaObjectDidlEscaped(const CdsMediaObject& object, bool singleEscape,
                                        CdsFilter filter, bool wrap, std::string* out);
