#include "app/server_status.h"

#include <cinttypes>
#include <cstdio>
#include <string_view>

#include "app/aux_web_server.h"
#include "app/service.h"
#include "app/settings.h"
#include "gui/transfer_status.h"
#include "library/library.h"
#include "library/statements.h"
#include "platform/app_directory.h"
#include "platform/log.h"
#include "platform/single_instance.h"
#include "streamserver/stream_server.h"

namespace {

// A file name may hold any byte but '/' and NUL; a line break in one must not start a
// line of its own in the answer.
std::string OneLine(std::string_view text) {
  std::string line(text);
  for (char& c : line) {
    if (static_cast<unsigned char>(c) < 0x20) c = '?';
  }
  return line;
}

std::string PortText(int port) { return port > 0 ? std::to_string(port) : "none"; }

std::string TransferLine(const TransferEntry& entry) {
  char numbers[64];
  std::snprintf(numbers, sizeof numbers, " %" PRIu64 " %" PRIu64 " ", entry.Sent, entry.TotalSize);
  return "transfer: " + OneLine(entry.ClientAddress) + numbers + OneLine(entry.FilePath) + "\n";
}

std::string StoredUdnLine() {
  std::string udn;
  bool found = false;
  db_getAVP(kKeyUdn, &udn, &found);
  return "udn: " + (found && !udn.empty() ? "uuid:" + OneLine(udn) : "none") + "\n";
}

// What a stopped server has, or a running one that did not answer: the stored UDN and
// `word` for everything only a running copy knows.
std::string StoredPart(const std::string& word) {
  std::string text = StoredUdnLine();
  for (const char* key : {"web-port", "stream-port", "lighttpd-port", "transfers"}) {
    text += std::string(key) + ": " + word + "\n";
  }
  return text;
}

}  // namespace

std::string ServerStatusAnswer() {
  std::string text;
  // The identity is the stored one once the service runs; before, it may not be loaded.
  if (MediaServerService_IsRunning()) {
    text += "udn: uuid:" + MediaServerService_Identity().udn + "\n";
  }
  text += "web-port: " + PortText(MediaServerService_WebPort()) + "\n";
  text += "stream-port: " + PortText(StreamServer_Port()) + "\n";
  text += "lighttpd-port: " + PortText(LighttpdPort()) + "\n";
  std::vector<TransferEntry> transfers = OpenTransfers();
  text += "transfers: " + std::to_string(transfers.size()) + "\n";
  for (const TransferEntry& entry : transfers) text += TransferLine(entry);
  return text;
}

int PrintServerStatus() {
  const std::string& directory = platform::AppDirectory();
  // Read only: the library may be the one a running copy serves from.
  if (!db_openReadOnly()) {
    platform::Log(platform::LogLevel::kError, "mirelle: no library to read in " + directory + "\n");
    return 1;
  }
  bool ok = false;
  std::vector<SharedFolderRecord> folders = db_listSharedFolders(&ok);
  std::string name;
  ok = ok && db_getAVP(kKeyServerName, &name);
  std::string text = "directory: " + OneLine(directory) + "\n";
  std::string answer;
  bool running = platform::SingleInstance::QueryStatus(directory, &answer);
  text += std::string("state: ") + (running ? "running" : "stopped") + "\n";
  text += "name: " + OneLine(name) + "\n";
  text += "folders: " + std::to_string(folders.size()) + "\n";
  for (const SharedFolderRecord& folder : folders) {
    int items = db_getCount(sql::FilesUnder(folder.DirPath));
    text += "folder: " + std::to_string(items) + " " + OneLine(folder.DirPath) + "\n";
  }
  if (!running) {
    text += StoredPart("not running");
  } else if (answer.empty()) {
    text += StoredPart("unknown");  // a copy that does not answer status queries
  } else {
    if (answer.compare(0, 5, "udn: ") != 0) text += StoredUdnLine();
    text += answer;
  }
  db_close(false);
  if (!ok) {
    platform::Log(platform::LogLevel::kError,
                  "mirelle: the library in " + directory + " cannot be read\n");
    return 1;
  }
  std::fputs(text.c_str(), stdout);
  return 0;
}
