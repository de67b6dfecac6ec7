#include "media/thumbnail.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <set>
#include <unordered_map>

#include "media/bmp_writer.h"
#include "media/limits.h"
#include "media/vips_support.h"
#include "platform/app_directory.h"
#include "platform/file_info.h"
#include "platform/path.h"
#include "platform/process.h"
#include "platform/text.h"

namespace media {
namespace {

// Names being made right now. Two requests for one item write the same file, so they
// take turns; requests for different items do not wait for each other.
class ThumbnailNameLock {
 public:
  explicit ThumbnailNameLock(const std::string& name) : name_(name) {
    std::unique_lock lock(mutex_);
    released_.wait(lock, [&] { return busy_.count(name_) == 0; });
    busy_.insert(name_);
  }
  ~ThumbnailNameLock() {
    {
      std::lock_guard lock(mutex_);
      busy_.erase(name_);
    }
    released_.notify_all();
  }
  ThumbnailNameLock(const ThumbnailNameLock&) = delete;
  ThumbnailNameLock& operator=(const ThumbnailNameLock&) = delete;

 private:
  static inline std::mutex mutex_;
  static inline std::condition_variable released_;
  static inline std::set<std::string> busy_;
  std::string name_;
};

// Thumbnails drawn earlier and still on disk. A client filling a screen asks for the same
// thumbnails page after page, and drawing one costs a picture decode on the thread that
// serves every other request; an entry is trusted only while both the picture and the
// drawn file are exactly as they were, so a changed picture, another box or a file
// removed by a rescan is drawn again.
class DrawnThumbnails {
 public:
  struct Drawn {
    std::string source;
    platform::FileStamp sourceStamp;
    int width = 0;
    int height = 0;
    platform::FileStamp thumbStamp;
  };

  // True when `thumbPath` still holds what was drawn from `source` at that box.
  bool IsCurrent(const std::string& name, const std::string& source, int width, int height,
                 const std::string& thumbPath) {
    Drawn drawn;
    {
      std::lock_guard lock(mutex_);
      auto found = drawn_.find(name);
      if (found == drawn_.end()) return false;
      drawn = found->second;
    }
    if (drawn.source != source || drawn.width != width || drawn.height != height) return false;
    return platform::StampOf(source) == drawn.sourceStamp &&
           platform::StampOf(thumbPath) == drawn.thumbStamp;
  }

  void Remember(const std::string& name, Drawn drawn) {
    std::lock_guard lock(mutex_);
    if (drawn_.size() >= media_limits::kThumbnailsRemembered) drawn_.clear();
    drawn_[name] = std::move(drawn);
  }

  void Forget(const std::string& name) {
    std::lock_guard lock(mutex_);
    drawn_.erase(name);
  }

 private:
  std::mutex mutex_;
  std::unordered_map<std::string, Drawn> drawn_;
};

DrawnThumbnails& Drawn() {
  static DrawnThumbnails drawn;
  return drawn;
}

// Removes a file when the scope ends.
class FileRemover {
 public:
  explicit FileRemover(std::string path) : path_(std::move(path)) {}
  ~FileRemover() {
    if (!path_.empty()) ::unlink(path_.c_str());
  }
  FileRemover(const FileRemover&) = delete;
  FileRemover& operator=(const FileRemover&) = delete;

 private:
  std::string path_;
};

// A thumbnail name is one file name inside the thumbnail directory, never a path.
bool IsPlainFileName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." &&
         name.find_first_of(std::string_view("/\0", 2)) == std::string::npos;
}

// The scaler's coder for a JPEG 2000 source, from the extension; empty for other files.
// Naming the coder keeps the scaler from guessing the format from the contents (a file
// that only pretends to be a picture cannot reach its other coders) and keeps a name
// beginning with "-" from being read as an option.
std::string ScalerCoder(const std::string& path) {
  std::string_view extension = platform::PathExtension(path);
  if (platform::AsciiEqualsNoCase(extension, ".jp2")) return "JP2";
  if (platform::AsciiEqualsNoCase(extension, ".j2k")) return "J2K";
  if (platform::AsciiEqualsNoCase(extension, ".jpc")) return "JPC";
  return {};
}

std::string ScalerProgram() {
  std::string local = platform::AppPath("convert");
  if (::access(local.c_str(), X_OK) == 0) return local;
  return "convert";
}

// Resizes a JPEG 2000 picture into a PNG file at `output`; true when the scaler started
// (its output may still be missing or unreadable, which the loading step then finds).
bool RunScaler(const std::string& coder, const std::string& source, const std::string& output,
               int width, int height) {
  std::vector<std::string> argv = {ScalerProgram(), "-resize",
                                   std::to_string(width) + "x" + std::to_string(height),
                                   coder + ":" + source, "png:" + output};
  return platform::RunToEnd(argv, static_cast<int>(media_limits::kScalerTimeoutMs)).started;
}

int32_t PixelsPerMetre(double pixelsPerMillimetre) {
  // libvips reports 1 (or 0) when the file states no resolution.
  if (!(pixelsPerMillimetre > 1.0) || pixelsPerMillimetre > INT32_MAX / 1000.0) {
    return media_limits::kDefaultPixelsPerMetre;
  }
  return static_cast<int32_t>(std::lround(pixelsPerMillimetre * 1000.0));
}

// The loaded library. Only used once a picture has been opened, which cannot happen
// unless it loaded.
const VipsApi& Vips() { return *Vips_Ensure(); }

// The picture scaled to exactly `width` x `height`, as libvips's shrink-on-load allows
// when it can read the file itself, else from the already opened picture.
VipsImagePtr Scale(const std::string& path, VipsImage* picture, int width, int height) {
  VipsImage* out = nullptr;
  if (VipsSourcePtr source = Vips_OpenSource(path)) {
    if (Vips().thumbnail_source(source.get(), &out, width, "height", height, "size",
                                VIPS_SIZE_FORCE, "no_rotate", TRUE, nullptr) == 0) {
      return VipsImagePtr(out);
    }
    Vips().error_clear();
  }
  if (Vips().thumbnail_image(picture, &out, width, "height", height, "size", VIPS_SIZE_FORCE,
                             "no_rotate", TRUE, nullptr) == 0) {
    return VipsImagePtr(out);
  }
  Vips().error_clear();
  return nullptr;
}

// Turns any picture into three 8-bit sRGB bands, transparency flattened onto black.
bool ToRgb24(VipsImagePtr* image) {
  if (Vips().image_hasalpha(image->get()) && !Vips_Apply(image, [](VipsImage* in, VipsImage** out) {
        return Vips().flatten(in, out, nullptr);
      })) {
    return false;
  }
  if (Vips().image_get_interpretation(image->get()) != VIPS_INTERPRETATION_sRGB) {
    // Pictures libvips cannot convert (multiband, for instance) go on as they are.
    Vips_Apply(image, [](VipsImage* in, VipsImage** out) {
      return Vips().colourspace(in, out, VIPS_INTERPRETATION_sRGB, nullptr);
    });
  }
  if (Vips().image_get_format(image->get()) != VIPS_FORMAT_UCHAR &&
      !Vips_Apply(image, [](VipsImage* in, VipsImage** out) {
        return Vips().cast_uchar(in, out, nullptr);
      })) {
    return false;
  }
  int bands = Vips().image_get_bands(image->get());
  if (bands < 3) {
    return Vips_Apply(image, [](VipsImage* in, VipsImage** out) {
      VipsImage* grey = nullptr;
      if (Vips().extract_band(in, &grey, 0, nullptr) != 0) return -1;
      VipsImage* three[3] = {grey, grey, grey};
      int rc = Vips().bandjoin(three, out, 3, nullptr);
      g_object_unref(grey);
      return rc;
    });
  }
  if (bands > 3) {
    return Vips_Apply(image, [](VipsImage* in, VipsImage** out) {
      return Vips().extract_band(in, out, 0, "n", 3, nullptr);
    });
  }
  return true;
}

// Draws the picture at `sourcePath` into a new bitmap and writes it to `thumbPath`.
bool Render(const std::string& sourcePath, const std::string& thumbPath, int width, int height) {
  VipsImagePtr picture = Vips_LoadSequential(sourcePath);
  if (!picture) return false;
  ThumbnailGeometry geometry;
  if (!Thumbnail_ComputeGeometry(Vips().image_get_width(picture.get()),
                                 Vips().image_get_height(picture.get()), width, height,
                                 &geometry)) {
    return false;
  }
  int32_t xPpm = PixelsPerMetre(picture->Xres);
  int32_t yPpm = PixelsPerMetre(picture->Yres);

  VipsImagePtr image = Scale(sourcePath, picture.get(), geometry.drawWidth, geometry.drawHeight);
  if (!image || !ToRgb24(&image)) return false;
  // The canvas is black around the drawn picture; a scaled result a pixel off its size is
  // clipped by the canvas or leaves a black line rather than shifting the picture.
  if (!Vips_Apply(&image, [&](VipsImage* in, VipsImage** out) {
        return Vips().embed(in, out, geometry.drawX, geometry.drawY, geometry.canvasWidth,
                            geometry.canvasHeight, "extend", VIPS_EXTEND_BLACK, nullptr);
      })) {
    return false;
  }
  size_t size = 0;
  void* pixels = Vips().image_write_to_memory(image.get(), &size);
  if (pixels == nullptr) {
    Vips().error_clear();
    return false;
  }
  std::vector<uint8_t> bmp = Bmp_Encode24(geometry.canvasWidth, geometry.canvasHeight,
                                          static_cast<const uint8_t*>(pixels), size, xPpm, yPpm);
  g_free(pixels);
  return !bmp.empty() && WriteFileAtomically(thumbPath, bmp);
}

}  // namespace

bool Thumbnail_ComputeGeometry(int pictureWidth, int pictureHeight, int boxWidth, int boxHeight,
                               ThumbnailGeometry* geometry) {
  *geometry = ThumbnailGeometry();
  if (pictureWidth <= 0 || pictureHeight <= 0 || boxWidth <= 0 || boxHeight <= 0) return false;
  int width = std::min({boxWidth, pictureWidth, media_limits::kThumbnailMaxSide});
  int height = std::min({boxHeight, pictureHeight, media_limits::kThumbnailMaxSide});
  float sx = static_cast<float>(width) / static_cast<float>(pictureWidth);
  float sy = static_cast<float>(height) / static_cast<float>(pictureHeight);
  float scale = sy < sx ? sy : sx;
  float drawnWidth = static_cast<float>(pictureWidth) * scale;
  float drawnHeight = static_cast<float>(pictureHeight) * scale;
  if (sy < sx) {
    geometry->drawX = static_cast<int>((static_cast<float>(width) - drawnWidth) / 2);
  } else {
    geometry->drawY = static_cast<int>((static_cast<float>(height) - drawnHeight) / 2);
  }
  geometry->canvasWidth = width;
  geometry->canvasHeight = height;
  // A sliver picture still draws one pixel rather than nothing.
  geometry->drawWidth = std::clamp(static_cast<int>(drawnWidth), 1, width);
  geometry->drawHeight = std::clamp(static_cast<int>(drawnHeight), 1, height);
  return true;
}

}  // namespace media

void MakeThumbnail(const std::string& sourcePath, const std::string& thumbName, int width,
                   int height) {
  if (!media::IsPlainFileName(thumbName) || platform::AppDirectory().empty()) return;
  media::ThumbnailNameLock nameLock(thumbName);
  std::string thumbPath = platform::AppPath("thumbnail/" + thumbName);
  bool wanted = width > 0 && height > 0 && !sourcePath.empty();
  if (wanted && media::Drawn().IsCurrent(thumbName, sourcePath, width, height, thumbPath)) return;
  media::Drawn().Forget(thumbName);
  ::unlink(thumbPath.c_str());
  if (!wanted) return;

  // The picture's stamp is taken before drawing: a picture replaced while it is drawn
  // then no longer matches, and its next request draws it again.
  std::optional<platform::FileStamp> sourceStamp = platform::StampOf(sourcePath);
  std::string coder = media::ScalerCoder(sourcePath);
  bool drawn = false;
  if (coder.empty()) {
    drawn = media::Render(sourcePath, thumbPath, width, height);
  } else {
    // The scaler writes a PNG of its own beside the thumbnail, which is read whole before
    // the bitmap is written and then removed.
    std::string scaled = thumbPath + ".scaled.png";
    ::unlink(scaled.c_str());
    media::FileRemover removeScaled(scaled);
    drawn = media::RunScaler(coder, sourcePath, scaled, width, height) &&
            media::Render(scaled, thumbPath, width, height);
  }
  std::optional<platform::FileStamp> thumbStamp = platform::StampOf(thumbPath);
  if (drawn && sourceStamp && thumbStamp) {
    media::Drawn().Remember(thumbName, {sourcePath, *sourceStamp, width, height, *thumbStamp});
  }
}
