// The relay of internet sources: a library object whose file is an internet address
// (http, mms, mmsh, rtsp) is played through an encoder session on that address, and the
// encoder's output is copied to the client as one stream of unknown length. A YouTube
// watch page is first fetched and read for the address of its video.
#pragma once

#include <string>
#include <string_view>

#include "streamserver/stream_request.h"

// Makes the relay below the stream server's relay for internet sources. StreamServer_Start
// calls it; tests that run their own server call it themselves.
void StreamRelay_Install();

// Answers a request whose source is an internet address. Ranges: none gives 200, one that
// starts at byte 0 gives 206, anything else 501. A YouTube watch page is replaced by its
// video's address first. The encoder runs in audio mode for media kind "Audio" (any case),
// else in video mode. 500 (and 0, the connection ends) when the encoder cannot start; 502
// when it starts but delivers nothing. The body is chunked for a kept HTTP/1.1
// connection, else it ends with the connection. Returns 0 when the connection must end.
int StreamRelay_Serve(StreamRequest* request);

// The Content-type of a relayed stream: "video/mpeg" for the internet TV provider's RTSP
// source, "audio/mpeg" for audio, else "video/x-ms-avi".
std::string StreamRelay_ContentType(std::string_view source, bool audio);

// True for a web address whose site name "youtube" stands at its 8th or 12th character
// ("http://youtube..." or "http://www.youtube..."), and for a watch page of the configured
// site address (`siteAddress` + "/watch?v=").
bool StreamRelay_IsYouTubePage(std::string_view source, std::string_view siteAddress);

// Reads a fetched watch page: from "var swfArgs" on, the values of "video_id", of the
// member after it and of "t". On success *videoAddress becomes `siteAddress` +
// "/get_video?video_id=" + id + "&l=" + value + "&t=" + value, with characters that
// could end or split the address escaped. False, and *videoAddress untouched, when the
// page lacks any of them; nothing is read past the page's end.
bool StreamRelay_ScrapeYouTubePage(std::string_view page, std::string_view siteAddress,
                                   std::string* videoAddress);

// Fetches the watch page at `pageAddress` (following redirects), keeps it in "log.txt" in
// the program directory, and returns its video's address on the configured site; the page
// address itself when the page cannot be fetched or read.
std::string StreamRelay_ResolveYouTube(const std::string& pageAddress);
