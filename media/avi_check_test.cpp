#include "media/avi_check.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using media::AviCheck_Flags;
using media::AviCheck_ReadVideoHandler;
using media::MemoryByteSource;

void Put32(std::string* out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out->push_back(static_cast<char>(v >> (8 * i)));
}

std::string Chunk(const std::string& fourcc, const std::string& body) {
  std::string out = fourcc;
  Put32(&out, static_cast<uint32_t>(body.size()));
  out += body;
  if (body.size() % 2) out.push_back('\0');
  return out;
}

std::string List(const std::string& type, const std::string& body) {
  return Chunk("LIST", type + body);
}

std::string StreamList(const std::string& kind, const std::string& handler) {
  std::string strh = kind + handler + std::string(48, '\0');
  return List("strl", Chunk("strh", strh) + Chunk("strf", std::string(40, '\0')));
}

std::string Avi(const std::string& hdrlBody) {
  std::string riffBody = "AVI " + List("hdrl", hdrlBody) + List("movi", "");
  return Chunk("RIFF", riffBody);
}

uint32_t FlagsOf(const std::string& file) {
  MemoryByteSource source(reinterpret_cast<const uint8_t*>(file.data()), file.size());
  return AviCheck_Flags(source);
}

std::string HandlerOf(const std::string& file) {
  MemoryByteSource source(reinterpret_cast<const uint8_t*>(file.data()), file.size());
  std::string handler;
  return AviCheck_ReadVideoHandler(source, &handler) ? handler : "<none>";
}

const std::string kMainHeader = Chunk("avih", std::string(56, '\0'));

TEST(AviCheck, FindsTheVideoHandlerAfterAnAudioStream) {
  std::string file =
      Avi(kMainHeader + StreamList("auds", std::string(4, '\0')) + StreamList("vids", "H264"));
  EXPECT_EQ(HandlerOf(file), "H264");
  EXPECT_EQ(FlagsOf(file), 0x80u);
}

TEST(AviCheck, DivxFamilyIsAcceptedInAnyCase) {
  for (const char* code : {"DIV3", "div4", "Div5", "divx", "XVID", "xvid"}) {
    SCOPED_TRACE(code);
    EXPECT_EQ(FlagsOf(Avi(kMainHeader + StreamList("vids", code))), 0u);
  }
  const std::vector<std::string> foreign = {"DX50", "MJPG", "FMP4", "DIV6", std::string(4, '\0')};
  for (const std::string& code : foreign) {
    EXPECT_EQ(FlagsOf(Avi(kMainHeader + StreamList("vids", code))), 0x80u);
  }
}

TEST(AviCheck, OddSizedChunksArePadded) {
  std::string file = Avi(kMainHeader + Chunk("JUNK", "abc") + StreamList("vids", "MJPG"));
  EXPECT_EQ(HandlerOf(file), "MJPG");
}

TEST(AviCheck, FilesWithoutVideoOrNotAviAreNotMarked) {
  EXPECT_EQ(FlagsOf(Avi(kMainHeader + StreamList("auds", "\x55\0\0\0"))), 0u);
  std::string wave = Avi(kMainHeader + StreamList("vids", "MJPG"));
  wave.replace(8, 4, "WAVE");
  EXPECT_EQ(FlagsOf(wave), 0u);
  EXPECT_EQ(FlagsOf(""), 0u);
  EXPECT_EQ(FlagsOf("RIFF"), 0u);
}

TEST(AviCheck, SizesPastTheDataAreNotFollowed) {
  std::string file = Avi(kMainHeader + StreamList("vids", "MJPG"));
  // A header list claiming more than the file holds cannot be read whole.
  std::string longList = file;
  longList[16] = '\xff';
  longList[17] = '\xff';
  EXPECT_EQ(HandlerOf(longList), "<none>");
  // A chunk claiming more than its list holds is cut to the list.
  std::string hdrl = kMainHeader + "strh";
  Put32(&hdrl, 0xFFFFFFF0u);
  hdrl += "vidsMJPG";
  EXPECT_EQ(HandlerOf(Avi(hdrl)), "MJPG");
  std::string cut = Avi(kMainHeader + "strh");
  EXPECT_EQ(HandlerOf(cut), "<none>");
}

TEST(AviCheck, EveryTruncationIsHandled) {
  std::string file = Avi(kMainHeader + StreamList("vids", "MJPG"));
  // The header list ends after "RIFF", size, "AVI ", "LIST", its size and its body.
  size_t hdrlEnd = 20 + (static_cast<uint8_t>(file[16]) | (static_cast<uint8_t>(file[17]) << 8));
  for (size_t length = 0; length < file.size(); ++length) {
    std::string part = file.substr(0, length);
    EXPECT_EQ(FlagsOf(part), length < hdrlEnd ? 0u : 0x80u) << length;
  }
}

}  // namespace
