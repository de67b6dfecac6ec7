// The local file provider: the URL forms under which the server publishes local media,
// and the way back from a requested URL to a file on disk. Items are published under
// their library name "\<MyIndex>\<FileName>", so a request is resolved through the
// library record it names; the same road serves generated thumbnails and seek index
// files.
//
// URL path forms after the virtual directory:
//   "/%d/%s"   a path under registered base directory i   ./thumbnail/12.tb -> /0/thumbnail/12.tb
//   "/_/%s"    a path beginning "./" that no base covers  ./cache/7.hdx     -> /_/cache/7.hdx
//   "/__%c/%s" a drive path "X:/..."                      C:/Music/a.mp3    -> /__C/Music/a.mp3
//   "/___/%s"  a path beginning "/"                       /123/Song.mp3     -> /___/123/Song.mp3
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "delivery/delivery_limits.h"
#include "upnp/chain.h"

// One per service run; a module of the chain it was created on, so the chain frees it.
// The base directory list is read and written under its lock; everything else is
// stateless, so URLs may be built on one chain and resolved on another.
struct ResourceProvider : FLibModule {
  std::mutex Lock;
  // Each stored with "/" as separator and a trailing "/".
  std::vector<std::string> BaseDirectories;
};

// A new provider added to `chain` (the chain owns it). Null when chain is null.
ResourceProvider* RP_Create(FLibChain* chain);

// Registers a base directory ("\" becomes "/", a trailing "/" is added). 1 when added;
// 0 when it is present already (case ignored), when kRpMaxBaseDirectories exist, or
// when the path is empty.
int RP_AddBaseDirectory(ResourceProvider* provider, std::string_view path);

// Builds "http://" + hostAndPort + "/" + virtualDirectory + path form, escaped as a
// whole with FLibUrl_Escape, into *url. `baseHint` is the index of the base directory to
// try first (-1: none). Returns 1, or 0 when the path fits no form (a warning line goes
// to the log and *url is left empty).
int RP_BuildResourceUrl(ResourceProvider* provider, std::string_view localPath, int baseHint,
                        std::string_view hostAndPort, std::string_view virtualDirectory,
                        std::string* url);

// The part of that URL after the host and port: "/" + virtualDirectory + path form,
// escaped, into *path. An object offers one file on several ports and addresses; the
// part is built once and joined with RP_JoinResourceUrl, giving the same bytes as
// RP_BuildResourceUrl. Returns 1, or 0 as RP_BuildResourceUrl does.
int RP_BuildResourcePath(ResourceProvider* provider, std::string_view localPath, int baseHint,
                         std::string_view virtualDirectory, std::string* path);
// "http://" + hostAndPort, escaped, followed by a part made by RP_BuildResourcePath.
void RP_JoinResourceUrl(std::string_view hostAndPort, std::string_view path, std::string* url);

// Resolves the path after the virtual directory (as the web server hands it, already
// unescaped, beginning with "/"; "?width=W&height=H" may follow) into a local file path
// in *localPath and returns its length; 0 (and *localPath empty) when it resolves to
// nothing or the result would not be shorter than `bufferSize` (the web handler passes
// kRpLocalPathBuffer). Reads the library, never writes it; may make a thumbnail, so call
// it where blocking for that is acceptable.
size_t RP_GetLocalPathFromUrl(ResourceProvider* provider, std::string_view urlPath,
                              std::string* localPath, size_t bufferSize = kRpLocalPathBuffer);
