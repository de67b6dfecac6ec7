// The in-memory copy of one row of the object table. Text fields keep the sizes of the
// original fixed-size record as caps: a copied value is cut to fit the field (including
// its terminator), never inside a UTF-8 sequence. The row in the table keeps the whole
// text.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// Field sizes in bytes, terminator included.
inline constexpr size_t kRecordPathField = 780;
inline constexpr size_t kRecordTagField = 1024;
inline constexpr size_t kRecordFileTypeField = 10;

// Values of `ObjectType`.
inline constexpr int32_t kObjectItem = 1;
inline constexpr int32_t kObjectContainer = 2;

// Values of `Flags`.
inline constexpr int32_t kFlagPlaylist = 16;
inline constexpr int32_t kFlagPlaylistEntry = 32;
inline constexpr int32_t kFlagNonDivxAvi = 128;
inline constexpr int32_t kFlagDiscImage = 256;

// Values of `InternetFlags`: a local object, or an internet video or audio stream and the
// containers that hold them.
inline constexpr int32_t kInternetNone = 0;
inline constexpr int32_t kInternetVideo = 1;
inline constexpr int32_t kInternetAudio = 2;

struct MediaRecord {
  int32_t pIndex = 0;
  int32_t MyIndex = 0;
  int32_t Flags = 0;
  int32_t InternetFlags = 0;
  std::string CDCover;
  int32_t ObjectType = 0;
  std::string FilePath;
  std::string FileName;
  int32_t FilePathLen = 0;
  int32_t FileNameLen = 0;
  int32_t isSearchable = 0;
  // "\<MyIndex>\<FileName>": the name under which the enumerator and the resource URLs
  // address the object.
  std::string VirtualName;
  int32_t ProcessIndex = 0;
  int32_t ProcessObjectType = 0;
  // Working fields owned by the enumerator; the library layer sets EnumLink to zero.
  uintptr_t EnumLink = 0;
  uint32_t EnumTag = 0;
  int32_t ProcessUpdateID = 0;
  std::string Album;
  std::string Title;
  std::string Author;
  std::string Genre;
  int32_t TrackNo = 0;
  int32_t Year = 0;  // of the tags; 0 when unknown
  // The file name of the subtitle beside a video (same folder); empty when none.
  std::string Subtitle;
  // The file name of the item's album art in kAlbumArtDirectory; "-" when it has none,
  // empty until it has been looked for.
  std::string AlbumArt;
  int32_t Duration = 0;
  int32_t Bitrate = 0;
  // 64-bit so that files of 2 GiB and more keep their size.
  int64_t FileSize = 0;
  std::string FileType;
};

// Values of a shared folder's `Flags`: the work on its objects that has not finished yet.
// Each is stored before the work writes its first object and cleared when it has ended,
// so a start after a crash (or an exit during a scan) knows what to finish.
inline constexpr int32_t kSharedFolderDone = 0;
// Its scan has not reached the end: objects may be missing, none is stale.
inline constexpr int32_t kSharedFolderScanPending = 1;
// Its refresh has not reached the end: objects may be missing or stale.
inline constexpr int32_t kSharedFolderRefreshPending = 2;
// Its removal has not reached the end: some of its objects may be left.
inline constexpr int32_t kSharedFolderRemovalPending = 4;

// The shared-folder row.
struct SharedFolderRecord {
  std::string DirPath;  // at most 259 characters
  int32_t Flags = 0;
  std::string VolumeName;
};

// "\<index>\<name>", capped like the record field.
std::string MakeVirtualName(int32_t myIndex, const std::string& fileName);

// The album picture beside an audio item: its folder and `CDCover`. Empty when the item
// has none (the scanner stores a blank then) or the name is not a plain file name.
std::string CoverPath(const MediaRecord& record);

// The subtitle beside a video: its folder and `Subtitle`. Empty when the video has none
// or the name is not a plain file name.
std::string SubtitlePath(const MediaRecord& record);

// Album art is kept in this folder of the program directory. Start-up empties the
// thumbnail folder but leaves its subfolders, so the art made once outlives restarts.
inline constexpr std::string_view kAlbumArtDirectory = "thumbnail/art";

// The item's album art file; empty when it has none or has not been made yet.
std::string AlbumArtPath(const MediaRecord& record);

// Number of characters (code points) of UTF-8 text: the value of FilePathLen and
// FileNameLen.
int32_t Utf8CharCount(const std::string& text);
