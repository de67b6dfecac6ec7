// Disc images (".iso") found by the scanner: their files become library objects that
// live inside the image, addressed as "<image path>/%offset%<data offset>/<name>".
#pragma once

#include <cstdint>
#include <string>

namespace scan_detail {
class CScanRun;
}

// Stores the members of an ISO 9660 image under three containers named "<image
// name>(iso)" below the audio, video and image containers (negative parents are left
// out); its directories become containers below those. Containers that end up without
// anything below them are deleted, so an unreadable image leaves nothing. Returns the
// kinds stored (see kKind* in scanner.h). Its writes are committed in the batches of `run`.
int Scan_DiscImage(scan_detail::CScanRun& run, const std::string& imagePath, int32_t audioParent,
                   int32_t videoParent, int32_t imageParent);

// "<image path>/%offset%<offset>/<name>": the path of a member whose data starts at byte
// `offset` of the image.
std::string Scan_DiscMemberPath(const std::string& imagePath, int64_t offset,
                                const std::string& name);
