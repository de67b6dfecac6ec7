// The object numbers of the fixed virtual containers above the user's files. Every
// subsystem finds these containers by number, and the library's own statements select
// by them, so they live beside the library rather than with the code that writes them.
#pragma once

#include <cstdint>

inline constexpr int32_t kContainerRoot = 0;
inline constexpr int32_t kContainerVideo = 1;
inline constexpr int32_t kContainerAudio = 2;
inline constexpr int32_t kContainerImage = 3;
inline constexpr int32_t kContainerAllVideos = 4;
inline constexpr int32_t kContainerVideoFavorites = 5;
inline constexpr int32_t kContainerVideoFolders = 6;
inline constexpr int32_t kContainerAllMusic = 7;
inline constexpr int32_t kContainerArtist = 8;
inline constexpr int32_t kContainerGenre = 9;
inline constexpr int32_t kContainerAlbum = 10;
inline constexpr int32_t kContainerAudioFavorites = 11;
inline constexpr int32_t kContainerAudioFolders = 12;
inline constexpr int32_t kContainerAllImages = 13;
inline constexpr int32_t kContainerImageFavorites = 14;
inline constexpr int32_t kContainerImageFolders = 15;
inline constexpr int32_t kContainerInternetVideos = 16;
inline constexpr int32_t kContainerInternetAllVideos = 17;
inline constexpr int32_t kContainerInternetAudio = 18;
inline constexpr int32_t kContainerInternetAllAudio = 19;
inline constexpr int32_t kContainerYoutube = 20;
inline constexpr int32_t kContainerYoutubeFirst = 21;  // the seven categories are 21 to 27
inline constexpr int32_t kContainerYoutubeLast = 27;
// The first number handed out after a fresh tree; 28 is never used.
inline constexpr int32_t kFirstFreeObjectNumber = 29;
