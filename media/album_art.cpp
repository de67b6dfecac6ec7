#include "media/album_art.h"

#include <taglib/asffile.h>
#include <taglib/attachedpictureframe.h>
#include <taglib/fileref.h>
#include <taglib/flacfile.h>
#include <taglib/id3v2tag.h>
#include <taglib/mp4file.h>
#include <taglib/mpegfile.h>
#include <taglib/opusfile.h>
#include <taglib/vorbisfile.h>
#include <taglib/wavfile.h>
#include <taglib/xiphcomment.h>

#include <vector>

#include "media/bmp_writer.h"
#include "media/limits.h"
#include "media/tag_file.h"
#include "media/vips_support.h"
#include "platform/log.h"

namespace media {
namespace {

// A picture found in the tags: the front cover wins over any other.
class PicturePick {
 public:
  void Offer(const TagLib::ByteVector& data, bool front) {
    if (data.isEmpty() || data.size() > media_limits::kAlbumArtMaxEmbeddedBytes) return;
    if (found_ && (front_ || !front)) return;
    picture_.assign(data.data(), data.size());
    found_ = true;
    front_ = front;
  }
  bool Take(std::string* picture) {
    if (found_) *picture = std::move(picture_);
    return found_;
  }

 private:
  std::string picture_;
  bool found_ = false;
  bool front_ = false;
};

void FromId3v2(TagLib::ID3v2::Tag* tag, PicturePick* pick) {
  if (tag == nullptr) return;
  for (TagLib::ID3v2::Frame* frame : tag->frameList("APIC")) {
    auto* apic = dynamic_cast<TagLib::ID3v2::AttachedPictureFrame*>(frame);
    if (apic != nullptr)
      pick->Offer(apic->picture(), apic->type() == TagLib::ID3v2::AttachedPictureFrame::FrontCover);
  }
}

void FromPictures(const TagLib::List<TagLib::FLAC::Picture*>& pictures, PicturePick* pick) {
  for (const TagLib::FLAC::Picture* picture : pictures)
    pick->Offer(picture->data(), picture->type() == TagLib::FLAC::Picture::FrontCover);
}

void FromXiph(TagLib::Ogg::XiphComment* comment, PicturePick* pick) {
  if (comment != nullptr) FromPictures(comment->pictureList(), pick);
}

void FromMp4(TagLib::MP4::Tag* tag, PicturePick* pick) {
  if (tag == nullptr || !tag->contains("covr")) return;
  for (const TagLib::MP4::CoverArt& art : tag->item("covr").toCoverArtList())
    pick->Offer(art.data(), true);
}

void FromAsf(TagLib::ASF::Tag* tag, PicturePick* pick) {
  if (tag == nullptr || !tag->contains("WM/Picture")) return;
  for (const TagLib::ASF::Attribute& attribute : tag->attribute("WM/Picture")) {
    TagLib::ASF::Picture picture = attribute.toPicture();
    if (picture.isValid())
      pick->Offer(picture.picture(), picture.type() == TagLib::ASF::Picture::FrontCover);
  }
}

bool EmbeddedUnguarded(const std::string& path, std::string* picture) {
  TagLib::FileRef ref(path.c_str(), false);
  if (ref.isNull()) return false;
  TagLib::File* file = ref.file();
  PicturePick pick;
  if (auto* mpeg = dynamic_cast<TagLib::MPEG::File*>(file)) {
    FromId3v2(mpeg->ID3v2Tag(), &pick);
  } else if (auto* flac = dynamic_cast<TagLib::FLAC::File*>(file)) {
    FromPictures(flac->pictureList(), &pick);
    FromXiph(flac->xiphComment(), &pick);
  } else if (auto* vorbis = dynamic_cast<TagLib::Ogg::Vorbis::File*>(file)) {
    FromXiph(vorbis->tag(), &pick);
  } else if (auto* opus = dynamic_cast<TagLib::Ogg::Opus::File*>(file)) {
    FromXiph(opus->tag(), &pick);
  } else if (auto* mp4 = dynamic_cast<TagLib::MP4::File*>(file)) {
    FromMp4(mp4->tag(), &pick);
  } else if (auto* asf = dynamic_cast<TagLib::ASF::File*>(file)) {
    FromAsf(asf->tag(), &pick);
  } else if (auto* wav = dynamic_cast<TagLib::RIFF::WAV::File*>(file)) {
    FromId3v2(wav->ID3v2Tag(), &pick);
  }
  return pick.Take(picture);
}

// Only reached once a picture has been opened, which cannot happen unless libvips loaded.
const VipsApi& Vips() { return *Vips_Ensure(); }

// Encodes a scaled picture as JPEG_TN: 8-bit sRGB (or grey), transparency flattened onto
// black, baseline, no metadata.
bool WriteJpeg(VipsImagePtr image, const std::string& jpegPath) {
  if (!image) return false;
  if (Vips().image_hasalpha(image.get()) && !Vips_Apply(&image, [](VipsImage* in, VipsImage** out) {
        return Vips().flatten(in, out, nullptr);
      }))
    return false;
  VipsInterpretation kind = Vips().image_get_interpretation(image.get());
  if (kind != VIPS_INTERPRETATION_sRGB && kind != VIPS_INTERPRETATION_B_W &&
      !Vips_Apply(&image, [](VipsImage* in, VipsImage** out) {
        return Vips().colourspace(in, out, VIPS_INTERPRETATION_sRGB, nullptr);
      }))
    return false;
  if (Vips().image_get_format(image.get()) != VIPS_FORMAT_UCHAR &&
      !Vips_Apply(&image, [](VipsImage* in, VipsImage** out) {
        return Vips().cast_uchar(in, out, nullptr);
      }))
    return false;
  int bands = Vips().image_get_bands(image.get());
  if (bands != 1 && bands != 3 && !Vips_Apply(&image, [bands](VipsImage* in, VipsImage** out) {
        return Vips().extract_band(in, out, 0, "n", bands > 3 ? 3 : 1, nullptr);
      }))
    return false;
  void* buffer = nullptr;
  size_t size = 0;
  if (Vips().jpegsave_buffer(image.get(), &buffer, &size, "Q", media_limits::kAlbumArtJpegQuality,
                             "strip", TRUE, "interlace", FALSE, nullptr) != 0) {
    Vips().error_clear();
    return false;
  }
  const auto* bytes = static_cast<const uint8_t*>(buffer);
  std::vector<uint8_t> jpeg(bytes, bytes + size);
  g_free(buffer);
  return WriteFileAtomically(jpegPath, jpeg);
}

// The result of a libvips thumbnail call, null (error text cleared) when it failed.
VipsImagePtr Scaled(int rc, VipsImage* out) {
  if (rc == 0) return VipsImagePtr(out);
  Vips().error_clear();
  return nullptr;
}

}  // namespace

bool AlbumArt_EmbeddedPicture(const std::string& path, std::string* picture) {
  picture->clear();
  TagFile_Init();
  try {
    return EmbeddedUnguarded(path, picture);
  } catch (...) {
    platform::Logf("TagLib failed on the pictures of %s\n", path.c_str());
  }
  picture->clear();
  return false;
}

bool AlbumArt_FromEncoded(const std::string& picture, const std::string& jpegPath) {
  if (picture.empty() || Vips_Ensure() == nullptr) return false;
  VipsImage* out = nullptr;
  // libvips reads the buffer lazily, so the bytes live until the JPEG is written.
  int rc = Vips().thumbnail_buffer(const_cast<char*>(picture.data()), picture.size(), &out,
                                   media_limits::kAlbumArtSide, "height",
                                   media_limits::kAlbumArtSide, "size", VIPS_SIZE_DOWN, nullptr);
  return WriteJpeg(Scaled(rc, out), jpegPath);
}

bool AlbumArt_FromPictureFile(const std::string& picturePath, const std::string& jpegPath) {
  if (Vips_Ensure() == nullptr) return false;
  VipsSourcePtr source = Vips_OpenSource(picturePath);
  if (!source) return false;
  VipsImage* out = nullptr;
  int rc = Vips().thumbnail_source(source.get(), &out, media_limits::kAlbumArtSide, "height",
                                   media_limits::kAlbumArtSide, "size", VIPS_SIZE_DOWN, nullptr);
  return WriteJpeg(Scaled(rc, out), jpegPath);
}

bool AlbumArt_FromRgb(const uint8_t* rgb, int width, int height, const std::string& jpegPath) {
  if (width <= 0 || height <= 0 || Vips_Ensure() == nullptr) return false;
  VipsImagePtr frame(Vips().image_new_from_memory_copy(
      rgb, static_cast<size_t>(width) * static_cast<size_t>(height) * 3, width, height, 3,
      VIPS_FORMAT_UCHAR));
  if (!frame) {
    Vips().error_clear();
    return false;
  }
  VipsImage* out = nullptr;
  int rc = Vips().thumbnail_image(frame.get(), &out, media_limits::kAlbumArtSide, "height",
                                  media_limits::kAlbumArtSide, "size", VIPS_SIZE_DOWN, nullptr);
  return WriteJpeg(Scaled(rc, out), jpegPath);
}

}  // namespace media
