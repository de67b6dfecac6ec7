// Album art: the small JPEG that clients show beside an item in their lists. Made from
// the picture embedded in a song's tags, from a picture file or from a video frame;
// fitted into a box of kAlbumArtSide pixels with the aspect ratio kept, never enlarged,
// baseline sRGB as the DLNA JPEG_TN profile asks. Each call decodes its source; callers
// keep the results (library/build/album_art_worker).
#pragma once

#include <cstdint>
#include <string>

namespace media {

// The front cover embedded in the tags of the audio file at `path` (ID3v2 APIC in MP3,
// WAV and AIFF, FLAC and Vorbis/Opus picture blocks, MP4 "covr", ASF "WM/Picture"); the
// first picture when none is marked as the front cover. False when the file has none, or
// only one larger than kAlbumArtMaxEmbeddedBytes.
bool AlbumArt_EmbeddedPicture(const std::string& path, std::string* picture);

// Writes the album art of the encoded picture `picture` to `jpegPath`. False, leaving no
// file, when the picture cannot be decoded.
bool AlbumArt_FromEncoded(const std::string& picture, const std::string& jpegPath);

// The same from the picture file at `picturePath`.
bool AlbumArt_FromPictureFile(const std::string& picturePath, const std::string& jpegPath);

// The same from a frame about a tenth of the way into the video at `videoPath`
// (album_art_video.cpp). False, leaving no file, when no frame can be decoded.
bool AlbumArt_FromVideo(const std::string& videoPath, const std::string& jpegPath);

// The same from `width` x `height` pixels of 8-bit RGB, rows without padding.
bool AlbumArt_FromRgb(const uint8_t* rgb, int width, int height, const std::string& jpegPath);

}  // namespace media
