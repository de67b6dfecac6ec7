#include "upnp/gena.h"

#include <gtest/gtest.h>

#include <regex>

#include "upnp/testing/device_test_util.h"

namespace {

using device_test::DeviceOnChain;
using device_test::Request;
using runtime_test::WaitFor;

// A taken timeout is checked by the renewal case; anything else falls back to 300 s.
TEST(GenaParsingTest, TimeoutAndCallbackHeaders) {
  for (const char* fallback : {"Second-infinite", "Second-1-2", "1800", "Second-99999999999"})
    EXPECT_EQ(UpnpGena_ParseTimeout(std::string(fallback)), 300) << fallback;
  EXPECT_EQ(UpnpGena_ParseTimeout(std::nullopt), 300);

  uint32_t address = 0;
  uint16_t port = 0;
  std::string path;
  ASSERT_TRUE(UpnpGena_ParseCallback("<http://192.168.1.9:4004/a b/c>", &address, &port, &path));
  EXPECT_EQ(address, 0xC0A80109u);
  EXPECT_EQ(port, 4004);
  EXPECT_EQ(path, "/a%20b/c");
  ASSERT_TRUE(UpnpGena_ParseCallback("<http://10.0.0.1>", &address, &port, &path));
  EXPECT_EQ(port, 80);
  EXPECT_EQ(path, "/");
  for (const char* bad : {"<10.0.0.1:80/x>", "<http://10.0.0.1:0/x>", "<http://10.0.0.1:70000/x>",
                          "<http://10.0.0.1:8a/x>"})
    EXPECT_FALSE(UpnpGena_ParseCallback(bad, &address, &port, &path)) << bad;
}

// Reads one NOTIFY (head and body) from an accepted connection and answers it.
std::string ReadNotify(runtime_test::Client& client, const std::string& answer) {
  std::string text = client.ReadUntil(DeviceOnChain::IsWholeResponse);
  client.Send(answer);
  client.Received().clear();
  return text;
}

constexpr const char* kCloseAnswer =
    "HTTP/1.1 200 OK\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";

class GenaTest : public ::testing::Test {
 protected:
  GenaTest() {
    UpnpGena* gena = device_.Device()->Gena.get();
    std::lock_guard lock(gena->Lock);
    gena->NowSeconds = [this] { return now_.load(); };
  }

  // Sends a request and returns the whole head-only answer.
  std::string Head(const char* method, const std::string& path, const std::string& headers) {
    return device_.Exchange(Request(method, path, headers), "\r\n\r\n");
  }
  std::string Subscribe(uint16_t callbackPort, const std::string& extra = "",
                        const std::string& path = "/ContentDirectory/event") {
    return Head("SUBSCRIBE", path,
                "CALLBACK: <http://127.0.0.1:" + std::to_string(callbackPort) +
                    "/notify/cd>\r\nNT: upnp:event\r\n" + extra);
  }
  static std::string Sid(const std::string& response) {
    std::smatch match;
    std::regex re("SID: (uuid:[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12})\r\n");
    return std::regex_search(response, match, re) ? match[1].str() : "";
  }
  size_t Count() {
    return UpnpGena_Count(device_.Device()->Gena.get(), UpnpGenaService::ContentDirectory);
  }

  std::atomic<uint64_t> now_{1000};
  DeviceOnChain device_;
};

TEST_F(GenaTest, SubscriptionIsAnsweredAndAChangeWithoutContainersSendsTheCounterAlone) {
  runtime_test::Listener listener;
  std::string answer = Subscribe(listener.Port(), "TIMEOUT: Second-100000\r\n");
  std::string sid = Sid(answer);
  ASSERT_FALSE(sid.empty()) << answer;
  EXPECT_EQ(answer,
            "HTTP/1.1 200 OK\r\nSERVER: WINDOWS, UPnP/1.0, Ferrule Lattice/1.0.1922\r\nSID: " +
                sid + "\r\nTIMEOUT: Second-7200\r\nContent-Length: 0\r\n\r\n");

  // The first event's texts reach a real control point in the namespace events test.
  runtime_test::Client first = listener.Accept();
  ASSERT_TRUE(first.Connected());
  EXPECT_NE(ReadNotify(first, kCloseAnswer).find("SEQ: 0\r\n"), std::string::npos);
  // A change without a list of containers sends SystemUpdateID alone.
  UpnpLattice_Publish_ContentDirectoryChange(device_.Device(), 10, std::nullopt);
  runtime_test::Client second = listener.Accept();
  EXPECT_NE(
      ReadNotify(second, kCloseAnswer)
          .find("\"><e:property><SystemUpdateID>10</SystemUpdateID></e:property></e:propertyset>"),
      std::string::npos);
  EXPECT_EQ(Count(), 1u);
}

// A renewal keeps the requested timeout; a SID is known only to its own service, and a
// second subscription of one callback gets its own; UNSUBSCRIBE takes known SIDs only; a
// callback must be a usable address of the subscriber itself.
TEST_F(GenaTest, RenewalsSidsAndCallbacks) {
  runtime_test::Listener listener;
  const std::string cd = "/ContentDirectory/event",
                    refused = "HTTP/1.1 412 Precondition Failed\r\nContent-Length: 0\r\n\r\n";
  std::string sid = Sid(Subscribe(listener.Port()));
  ASSERT_FALSE(sid.empty());
  EXPECT_NE(Head("SUBSCRIBE", cd, "SID: " + sid + "\r\nTIMEOUT: Second-100000\r\n")
                .find("SID: " + sid + "\r\nTIMEOUT: Second-100000\r\n"),
            std::string::npos);
  EXPECT_NE(Head("SUBSCRIBE", cd, "SID: " + sid + "\r\nTIMEOUT: Second-infinite\r\n")
                .find("TIMEOUT: Second-300\r\n"),
            std::string::npos);
  EXPECT_EQ(Head("SUBSCRIBE", "/ConnectionManager/event", "SID: " + sid + "\r\n"), refused);
  EXPECT_NE(Sid(Subscribe(listener.Port())), sid);
  EXPECT_EQ(Head("UNSUBSCRIBE", cd, "SID: uuid:00000000-0000-0000-0000-000000000000\r\n"),
            "HTTP/1.1 412 Invalid SID\r\nContent-Length: 0\r\n\r\n");
  EXPECT_EQ(Head("UNSUBSCRIBE", cd, "SID: " + sid + "\r\n").rfind("HTTP/1.1 200 OK\r\n", 0), 0u);
  for (const std::string& callback :
       {std::string("<http://10.99.0.1:80/cb>"), std::string("<http://tv.local/x>"),
        std::string("<nothing>"), "<http://127.0.0.1:80/" + std::string(300, 'a') + ">"})
    EXPECT_EQ(Head("SUBSCRIBE", cd, "CALLBACK: " + callback + "\r\nNT: upnp:event\r\n"), refused)
        << callback;
  EXPECT_EQ(Head("SUBSCRIBE", cd, "NT: upnp:event\r\n"), refused);
  EXPECT_EQ(Subscribe(1234, "", "/ContentDirectory/events"),
            "HTTP/1.1 412 Invalid Service Name\r\nContent-Length: 0\r\n\r\n");
  EXPECT_EQ(Head("subscribe", cd, "NT: upnp:event\r\n").rfind("HTTP/1.1 400 Bad Request\r\n", 0),
            0u)
      << "methods are compared case-sensitively";
  EXPECT_EQ(Count(), 1u);
}

// A subscriber that refuses the connection or accepts it and never answers is dropped, and
// frees the client for the others.
TEST_F(GenaTest, UnreachableAndSilentSubscribersAreDropped) {
  uint16_t closedPort;
  {
    runtime_test::Listener gone;
    closedPort = gone.Port();
  }
  runtime_test::Listener silent;
  ASSERT_FALSE(Sid(Subscribe(closedPort)).empty());
  ASSERT_FALSE(Sid(Subscribe(silent.Port())).empty());
  runtime_test::Client held = silent.Accept();
  ASSERT_TRUE(held.Connected());
  EXPECT_TRUE(WaitFor([this] { return Count() == 0; }, 10000));
  runtime_test::Listener responsive;
  ASSERT_FALSE(Sid(Subscribe(responsive.Port())).empty());
  runtime_test::Client client = responsive.Accept();
  ASSERT_TRUE(client.Connected());
  EXPECT_NE(ReadNotify(client, kCloseAnswer).find("SEQ: 0\r\n"), std::string::npos);
}

}  // namespace
