// Thumbnails of picture items: the picture scaled to fit a box, its aspect ratio kept,
// centred on black, stored as a 24-bit Windows bitmap in the thumbnail directory of the
// program directory, from where the file-serving side sends it.
#pragma once

#include <string>

// Makes the thumbnail `thumbName` (a plain file name such as "12.tb") of the picture at
// `sourcePath` (UTF-8) in a box of `width` x `height` pixels. A file of that name drawn
// earlier from the same, unchanged picture at the same box is kept as it is; any other
// is removed first. Every failure is silent and leaves no file, so the caller serves the
// thumbnail when the file exists. JPEG 2000 pictures (".jp2", ".j2k", ".jpc") are first
// resized by the external scaler "convert" (the one in the program directory when it is
// there, else the one found in PATH). Calls for one name wait for each other;
// calls for different names run side by side.
void MakeThumbnail(const std::string& sourcePath, const std::string& thumbName, int width,
                   int height);

namespace media {

// Where a picture of W x H pixels is drawn in a thumbnail asked for at a box of
// boxWidth x boxHeight: the box is first clamped to the picture (thumbnails are never
// larger than it) and to the thumbnail size limit; the picture is scaled by the smaller of
// the two ratios (single precision) and centred along the other axis, offsets and drawn
// size truncated to whole pixels.
struct ThumbnailGeometry {
  int canvasWidth = 0;
  int canvasHeight = 0;
  int drawX = 0;
  int drawY = 0;
  int drawWidth = 0;
  int drawHeight = 0;
};

// False when the picture or the box has a side that is not positive.
bool Thumbnail_ComputeGeometry(int pictureWidth, int pictureHeight, int boxWidth, int boxHeight,
                               ThumbnailGeometry* geometry);

}  // namespace media
