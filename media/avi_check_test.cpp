#include "media/avi_check.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

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

std::string Streams(const std::string& kind, const std::string& handler) {
  std::string strh = kind + handler + std::string(48, '\0');
  return List("strl", Chunk("strh", strh) + Chunk("strf", std::string(40, '\0')));
}

const std::string kMainHeader = Chunk("avih", std::string(56, '\0'));

std::string Avi(const std::string& hdrlBody) {
  return Chunk("RIFF", "AVI " + List("hdrl", kMainHeader + hdrlBody) + List("movi", ""));
}

// The handler found (or "<none>") and the flags of a file.
std::pair<std::string, uint32_t> Check(const std::string& file) {
  const auto* bytes = reinterpret_cast<const uint8_t*>(file.data());
  media::MemoryByteSource first(bytes, file.size()), second(bytes, file.size());
  std::string handler;
  if (!media::AviCheck_ReadVideoHandler(first, &handler)) handler = "<none>";
  return {handler, media::AviCheck_Flags(second)};
}

// Real files of each family are read by the tag reader's test; these are the shapes it
// cannot make.
TEST(AviCheck, VideoHandlerIsFoundAndCodecsOutsideTheDivxFamilyAreMarked) {
  std::string wave = Avi(Streams("vids", "MJPG"));
  wave.replace(8, 4, "WAVE");
  std::string longList = Avi(Streams("vids", "MJPG"));
  longList[16] = longList[17] = '\xff';  // a header list longer than the file
  std::string cutChunk = "strh";         // a chunk longer than its list is cut to the list
  Put32(&cutChunk, 0xFFFFFFF0u);
  cutChunk += "vidsMJPG";
  struct Case {
    const char* what;
    std::string file;
    std::string handler;
    uint32_t flags;
  };
  const Case cases[] = {
      {"after an audio stream",
       Avi(Streams("auds", std::string(4, '\0')) + Streams("vids", "H264")), "H264", 0x80},
      {"divx family in any case", Avi(Streams("vids", "xVid")), "xVid", 0},
      {"dx50", Avi(Streams("vids", "DX50")), "DX50", 0x80},
      {"no handler", Avi(Streams("vids", std::string(4, '\0'))), std::string(4, '\0'), 0x80},
      {"odd chunk padded", Avi(Chunk("JUNK", "abc") + Streams("vids", "MJPG")), "MJPG", 0x80},
      {"audio only", Avi(Streams("auds", "\x55\0\0\0")), "<none>", 0},
      {"not AVI", wave, "<none>", 0},
      {"empty", "", "<none>", 0},
      {"list past the data", longList, "<none>", 0},
      {"chunk past its list", Avi(cutChunk), "MJPG", 0x80},
      {"chunk cut", Avi("strh"), "<none>", 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Check(c.file), std::make_pair(c.handler, c.flags)) << c.what;
  }
}

}  // namespace
