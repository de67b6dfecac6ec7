#include "upnp/web_client.h"

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "upnp/testing/runtime_test_util.h"

namespace {

using runtime_test::ChainThread;
using runtime_test::Client;
using runtime_test::kLoopback;
using runtime_test::Listener;
using runtime_test::WaitFor;

struct Outcome {
  int Code = 99;
  int Status = 0;
  std::string Body;
};

struct Outcomes {
  std::mutex Mutex;
  std::vector<Outcome> List;
  size_t Size() {
    std::lock_guard lock(Mutex);
    return List.size();
  }
  Outcome At(size_t i) {
    std::lock_guard lock(Mutex);
    return List.at(i);
  }
};

void Record(FLibWebClientRequest*, int code, FLibHttpPacket* response, void* user1, void*) {
  auto* outcomes = static_cast<Outcomes*>(user1);
  Outcome o;
  o.Code = code;
  if (response) {
    o.Status = response->StatusCode;
    o.Body = response->Body;
  }
  std::lock_guard lock(outcomes->Mutex);
  outcomes->List.push_back(o);
}

bool HasRequestEnd(const std::string& r) { return r.find("\r\n\r\n") != std::string::npos; }

class WebClientTest : public ::testing::Test {
 protected:
  void Start(FLibWebClientOptions options = {}) {
    client_ = FLibWebClient_Create(chain_.Get(), 5, options);
    chain_.Start();
  }
  void Enqueue(uint16_t port, const std::string& head) {
    ASSERT_EQ(FLibWebClient_Enqueue(client_, kLoopback, port, head.data(), head.size(),
                                    FLibOwnership_User, nullptr, 0, FLibOwnership_Static, Record,
                                    &outcomes_, nullptr),
              0);
  }

  static Client AcceptRequest(Listener& listener) {
    Client peer = listener.Accept();
    peer.ReadUntil(HasRequestEnd);
    return peer;
  }

  Outcomes outcomes_;
  ChainThread chain_;
  FLibWebClient* client_ = nullptr;
};

TEST_F(WebClientTest, RequestLostOnAClosedConnectionIsSentOnceMore) {
  Listener listener;
  Start();
  Enqueue(listener.Port(), "NOTIFY /x HTTP/1.1\r\n\r\n");
  {
    Client first = AcceptRequest(listener);
    first.Close();  // no answer at all
  }
  Client second = AcceptRequest(listener);
  ASSERT_TRUE(second.Connected());
  ASSERT_TRUE(second.Send("HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n"));
  ASSERT_TRUE(WaitFor([&] { return outcomes_.Size() == 1; }));
  EXPECT_EQ(outcomes_.At(0).Code, FLibWebClient_Ok);
}

// A body without a length runs until the peer closes.
TEST_F(WebClientTest, InterimAnswerIsSkippedAndMalformedOrOversizedResponsesFail) {
  // A failed exchange drops the connection, so each request goes out on a new one.
  const struct {
    const char* Response;
    int Code;
    bool Close;
  } cases[] = {
      {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nnot-hex\r\n", FLibWebClient_Failed},
      {"HTTP/1.1 200 OK\r\nContent-Length: 99999999999\r\n\r\n", FLibWebClient_Failed},
      {"HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok",
       FLibWebClient_Ok},
      {"HTTP/1.1 200 OK\r\nConnection: close\r\n\r\nuntil the end", FLibWebClient_Ok, true},
  };
  Listener listener;
  Start();
  for (size_t i = 0; i < std::size(cases); ++i) {
    Enqueue(listener.Port(), "POST / HTTP/1.1\r\n\r\n");
    Client peer = AcceptRequest(listener);
    ASSERT_TRUE(peer.Connected()) << i;
    ASSERT_TRUE(peer.Send(cases[i].Response));
    if (cases[i].Close) peer.Close();
    ASSERT_TRUE(WaitFor([&] { return outcomes_.Size() == i + 1; })) << i;
    EXPECT_EQ(outcomes_.At(i).Code, cases[i].Code) << i;
  }
  EXPECT_EQ(outcomes_.At(2).Status, 200);
  EXPECT_EQ(outcomes_.At(2).Body, "ok");
  EXPECT_EQ(outcomes_.At(3).Body, "until the end");
}

}  // namespace
