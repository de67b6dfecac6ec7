// Helpers of the device tests: a device without SSDP on a chain thread, plain HTTP
// exchanges with it over loopback, and chunked-body decoding.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "upnp/lattice.h"
#include "upnp/testing/runtime_test_util.h"

namespace device_test {

using runtime_test::kLoopback;

// A device with the given callbacks whose web server listens on loopback only; SSDP is
// off, so nothing leaves the machine.
class DeviceOnChain {
 public:
  explicit DeviceOnChain(UpnpLatticeActions actions = {}) {
    UpnpLatticeOptions options;
    options.EnableSsdp = false;
    options.Web.BindAddress = kLoopback;
    device_ =
        UpnpLattice_Create(chain_.Get(), "Test Server", "uuid:11111111-2222-3333-4444-555555555555",
                           "serial-1", 1800, 0, std::move(actions), options);
    if (device_ != nullptr) chain_.Start();
  }
  ~DeviceOnChain() { chain_.Stop(); }
  UpnpLattice* Device() { return device_; }
  uint16_t Port() { return UpnpLattice_WebPort(device_); }

  // Sends one request on a new connection and reads until `until` appears (or the peer
  // closes, or the time runs out).
  std::string Exchange(const std::string& request, const std::string& until) {
    runtime_test::Client client(Port());
    EXPECT_TRUE(client.Connected());
    client.Send(request);
    return client.ReadUntilText(until);
  }

  // The same, reading one whole answer: a chunked body to its end, or a head and its
  // Content-Length bytes.
  std::string ExchangeWhole(const std::string& request) {
    runtime_test::Client client(Port());
    EXPECT_TRUE(client.Connected());
    client.Send(request);
    return client.ReadUntil(IsWholeResponse);
  }

  static bool IsWholeResponse(const std::string& r) {
    size_t head = r.find("\r\n\r\n");
    if (head == std::string::npos) return false;
    size_t length = r.find("Content-Length: ");
    if (length != std::string::npos && length < head)
      return r.size() >= head + 4 + std::stoul(r.substr(length + 16));
    return r.size() >= head + 9 && r.compare(r.size() - 5, 5, "0\r\n\r\n") == 0;
  }

 private:
  runtime_test::ChainThread chain_;
  UpnpLattice* device_ = nullptr;
};

// The head of a request with a Host header the server accepts.
inline std::string Request(const std::string& method, const std::string& path,
                           const std::string& headers = "", const std::string& body = "") {
  std::string text = method + " " + path + " HTTP/1.1\r\nHOST: 127.0.0.1\r\n" + headers;
  if (!body.empty()) text += "Content-Length: " + std::to_string(body.size()) + "\r\n";
  return text + "\r\n" + body;
}

// The body of a chunked message that starts after `headEnd`; empty on a framing error.
inline std::string Dechunk(const std::string& message) {
  size_t at = message.find("\r\n\r\n");
  if (at == std::string::npos) return {};
  at += 4;
  std::string body;
  for (;;) {
    size_t lineEnd = message.find("\r\n", at);
    if (lineEnd == std::string::npos) return {};
    size_t size = std::stoul(message.substr(at, lineEnd - at), nullptr, 16);
    if (size == 0) return body;
    body += message.substr(lineEnd + 2, size);
    at = lineEnd + 2 + size + 2;
  }
}

}  // namespace device_test
