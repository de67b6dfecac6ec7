#include "streamserver/testing/stream_test_support.h"

#include <netinet/in.h>

#include "library/statements.h"
#include "platform/testing/test_support.h"
#include "platform/text.h"
#include "streamserver/stream_media.h"

namespace stream_test {

StreamServerOptions FastOptions() {
  StreamServerOptions options;
  options.KeepAliveTimeoutMs = 10000;
  options.RequestTimeoutMs = 10000;
  options.SendTimeoutMs = 5000;
  options.SlotWaitMs = 200;
  options.BindAddress = INADDR_LOOPBACK;
  return options;
}

TestServer::TestServer(const StreamServerOptions& options, const std::string& logFile) {
  server_ = StreamServer_Create(stream_limits::kServerName, stream_limits::kConfiguredPort,
                                stream_limits::kDocumentRoot, logFile);
  server_->Options = options;
  server_->Mime.LoadFile(ORVEX_MIME_TYPES_PATH);
  StreamServer_AddBuiltinHandlers(server_.get());
  StreamMedia_Install(server_.get());
  if (StreamServer_Init(server_.get()) != 0) return;
  thread_ = std::thread([this] { StreamServer_Run(server_.get()); });
  ok_ = true;
}

bool TestServer::WaitForSlot(size_t index, bool inUse, uint64_t timeoutMs) {
  return platform::testing::WaitUntil(
      [&] {
        std::lock_guard<std::mutex> lock(server_->SlotLock);
        return server_->Slots[index].InUse == inUse;
      },
      timeoutMs);
}

void TestServer::Stop() {
  StreamServer_Stop(server_.get());
  if (thread_.joinable()) thread_.join();
}

Response ReadResponse(Client& client, bool headRequest, uint64_t timeoutMs) {
  Response r;
  size_t bodyAt = 0, length = std::string::npos;
  auto whole = [&](const std::string& data) {
    if (bodyAt == 0) {
      size_t end = data.find("\r\n\r\n");
      if (end == std::string::npos) return false;
      bodyAt = end + 4;
      r.head = data.substr(0, bodyAt);
      r.status = r.head.size() > 12 ? std::atoi(r.head.c_str() + 9) : 0;
      for (size_t at = r.head.find("\r\n") + 2; at < end; at = r.head.find("\r\n", at) + 2) {
        std::string line = r.head.substr(at, r.head.find("\r\n", at) - at);
        size_t colon = line.find(':');
        size_t value = line.find_first_not_of(' ', colon + 1);
        if (colon != std::string::npos)
          r.headers[platform::AsciiLower(line.substr(0, colon))] =
              value == std::string::npos ? "" : line.substr(value);
      }
      auto found = r.headers.find("content-length");
      if (headRequest || r.status == 204 || r.status == 304) length = 0;
      if (found != r.headers.end() && length != 0) length = std::stoull(found->second);
    }
    return length != std::string::npos && data.size() >= bodyAt + length;
  };
  std::string data = client.ReadUntil(whole, timeoutMs);
  if (bodyAt == 0) return r;
  if (length == std::string::npos && client.Closed()) length = data.size() - bodyAt;
  r.ok = length != std::string::npos && data.size() >= bodyAt + length;
  if (!r.ok) return r;
  r.body = data.substr(bodyAt, length);
  client.Received().erase(0, bodyAt + length);
  return r;
}

bool AddItem(int32_t index, const std::string& path, const std::string& fileType, int32_t flags,
             int64_t size, const std::string& cover, int32_t objectType) {
  ObjectRow row;
  row.MyIndex = index;
  row.Flags = flags;
  row.ObjectType = row.ProcessObjectType = objectType;
  row.FilePath = path;
  row.FileName = path.substr(path.rfind('/') + 1);
  row.FileType = fileType;
  row.FileSize = size;
  row.CDCover = cover;
  return db_execute(sql::InsertObject(row)) == 1;
}

Response Exchange(uint16_t port, const std::string& request, uint64_t timeoutMs) {
  Client client(port);
  if (!client.Send(request)) return Response();
  return ReadResponse(client, request.rfind("HEAD", 0) == 0, timeoutMs);
}

}  // namespace stream_test
