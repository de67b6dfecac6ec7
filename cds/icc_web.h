// The handler of the device web server's media directories "/0" and "/1": resolves the
// URL to a local file through the library and hands it to the file transfer.
#pragma once

struct FLibWebSession;
struct FLibHttpPacket;

// A FLibWebServer_Handler; `user` is the ResourceProvider. Only files that the library
// names as items, generated thumbnails and seek indexes, and files inside the shared
// folders are ever sent; everything else is 404.
void Icc_HandleWebRequest(FLibWebSession* session, FLibHttpPacket* request, bool done, void* user);

#include <string>

// True when the web handler may send the resolved local path: an item of the library,
// or a file below the thumbnail or cache directory or a shared folder once every link
// and ".." is resolved.
bool Icc_MayServe(const std::string& localPath);
