#include "cds/icc_web.h"

#include <sys/stat.h>

#include <climits>
#include <cstdio>
#include <cstdlib>

#include "delivery/resource_url.h"
#include "delivery/transfer.h"
#include "library/library.h"
#include "library/statements.h"
#include "media/media_type.h"
#include "platform/app_directory.h"
#include "platform/path.h"
#include "upnp/http_packet.h"

namespace {

constexpr size_t kWebReadBuffer = 4096;

std::string RealPath(const std::string& path) {
  char resolved[PATH_MAX];
  if (::realpath(path.c_str(), resolved) == nullptr) return {};
  return resolved;
}

bool IsRegularFile(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool Below(const std::string& path, const std::string& directory) {
  std::string root = RealPath(directory);
  if (root.empty()) return false;
  if (root.back() != '/') root += '/';
  return path.compare(0, root.size(), root) == 0;
}

}  // namespace

bool Icc_MayServe(const std::string& localPath) {
  MediaRecord record;
  if (db_getOneRecord(sql::ByPath(localPath), &record) == 1 && record.ObjectType == kObjectItem)
    return true;
  if (!IsRegularFile(localPath)) return false;
  // Files the server made itself, and side files (disc navigation, subtitles) that lie
  // in the shared folders beside the media.
  std::string real = RealPath(localPath);
  if (real.empty()) return false;
  if (Below(real, platform::AppPath("thumbnail")) || Below(real, platform::AppPath("cache")))
    return true;
  for (const SharedFolderRecord& folder : db_listSharedFolders()) {
    if (Below(real, folder.DirPath)) return true;
  }
  return false;
}

void Icc_HandleWebRequest(FLibWebSession* session, FLibHttpPacket* request, bool done, void* user) {
  if (!done) return;
  auto* provider = static_cast<ResourceProvider*>(user);
  std::string localPath;
  if (RP_GetLocalPathFromUrl(provider, request->Target, &localPath, kRpLocalPathBuffer) == 0 ||
      !Icc_MayServe(localPath)) {
    RP_SendErrorForFlags(session, kTransferNotFound);
    return;
  }
  std::printf("Webrequest: %s\r\n", localPath.c_str());
  std::fflush(stdout);
  RP_ServeFile(session, request, kWebReadBuffer, localPath,
               MediaType_MimeForExtension(platform::PathExtension(localPath)), nullptr);
}
