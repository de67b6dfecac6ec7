#include "app/aux_web_server.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "platform/app_directory.h"
#include "platform/test_support.h"
#include "platform/unique_fd.h"

namespace {

using platform::testing::TempDir;

uint16_t FreeLoopbackPort() {
  platform::UniqueFd fd(socket(AF_INET, SOCK_STREAM, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(fd.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return 0;
  socklen_t length = sizeof address;
  getsockname(fd.Get(), reinterpret_cast<sockaddr*>(&address), &length);
  return ntohs(address.sin_port);
}

// One exchange on a connection of its own; the whole answer, or empty when nothing listens.
std::string Fetch(uint16_t port, const std::string& request) {
  platform::UniqueFd fd(socket(AF_INET, SOCK_STREAM, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return {};
  if (write(fd.Get(), request.data(), request.size()) != static_cast<ssize_t>(request.size()))
    return {};
  std::string answer;
  char buffer[65536];
  ssize_t n;
  while ((n = read(fd.Get(), buffer, sizeof buffer)) > 0) answer.append(buffer, n);
  return answer;
}

std::string Get(uint16_t port, const std::string& target, const std::string& extra = "") {
  return Fetch(port, "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n" +
                         extra + "\r\n");
}

std::string Body(const std::string& answer) {
  size_t end = answer.find("\r\n\r\n");
  return end == std::string::npos ? std::string() : answer.substr(end + 4);
}

TEST(AuxWebServerTest, ServesOnlyTheMkvFilesTheContentDirectoryNamed) {
  if (access("/usr/sbin/lighttpd", X_OK) != 0) GTEST_SKIP() << "lighttpd is not installed";
  TempDir home;
  TempDir media;
  platform::InitAppDirectory(home.path());
  std::filesystem::create_directories(home.Join("etc"));
  std::string film;
  for (int i = 0; i < 50000; ++i) film += static_cast<char>('a' + i % 26);
  platform::testing::WriteFile(media.Join("Film.mkv"), film);
  // The item's path file holds the path and a terminating zero byte.
  platform::testing::WriteFile(home.Join("etc/7.txt"),
                               media.Join("Film.mkv") + std::string(1, '\0'));
  platform::testing::WriteFile(home.Join("etc/8.txt"), "/etc/passwd" + std::string(1, '\0'));

  uint16_t port = FreeLoopbackPort();
  ASSERT_NE(port, 0);
  StartLighttpd(port, "127.0.0.1");
  ASSERT_TRUE(LighttpdRunning());
  ASSERT_TRUE(platform::testing::WaitUntil([&] { return !Get(port, "/").empty(); }));

  std::string whole = Get(port, "/0/___/7/Film.mkv");
  EXPECT_NE(whole.find(" 200 "), std::string::npos) << whole.substr(0, 200);
  EXPECT_NE(whole.find("video/x-matroska"), std::string::npos);
  EXPECT_EQ(Body(whole), film);
  std::string tail = Get(port, "/0/___/7/Film.mkv", "Range: bytes=-100\r\n");
  EXPECT_NE(tail.find(" 206 "), std::string::npos);
  EXPECT_EQ(Body(tail), film.substr(film.size() - 100));

  // Nothing but a named .mkv file: no other path, no item without a file, no other kind.
  for (const char* target : {"/0/___/8/passwd.mkv", "/0/___/9/x.mkv", "/etc/passwd", "/7.txt",
                             "/0/___/7/../../../etc/passwd", "/0/___/7x/Film.mkv"}) {
    std::string answer = Get(port, target);
    EXPECT_EQ(answer.find(" 200 "), std::string::npos) << target;
    EXPECT_EQ(answer.find("root:"), std::string::npos) << target;
  }

  StopLighttpd();
  EXPECT_FALSE(LighttpdRunning());
  EXPECT_TRUE(Get(port, "/0/___/7/Film.mkv").empty());
}

TEST(AuxWebServerTest, AMissingProgramIsIgnored) {
  TempDir home;
  platform::InitAppDirectory(home.path());
  SetLighttpdProgram(home.Join("no-such-lighttpd"));
  StartLighttpd(FreeLoopbackPort(), "127.0.0.1");
  EXPECT_FALSE(LighttpdRunning());
  StopLighttpd();
  SetLighttpdProgram("");
}

}  // namespace
