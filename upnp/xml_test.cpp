#include "upnp/xml.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "upnp/limits.h"

namespace {

// Reads `text` from a heap buffer of exactly its size; the buffer lives as long as the
// fixture's document.
class XmlTest : public ::testing::Test {
 protected:
  FLibXmlDocument& Read(std::string_view text) {
    buffer_.assign(text.begin(), text.end());
    document_ = FLibXml_Read(std::string_view(buffer_.data(), buffer_.size()));
    EXPECT_NE(document_, nullptr);
    return *document_;
  }
  int ReadAndPair(std::string_view text) { return FLibXml_Pair(Read(text)); }

  // "+name" for a start node, "-name" for an end node, in document order.
  std::string Tags() const {
    std::string out;
    for (const FLibXmlNode* n = document_->First(); n != nullptr; n = n->Next) {
      out += n->IsStart ? "+" : "-";
      if (!n->Prefix.empty()) out += std::string(n->Prefix) + ":";
      out += std::string(n->Name) + " ";
    }
    return out;
  }

  std::vector<char> buffer_;
  FLibXmlDocumentPtr document_;
};

TEST_F(XmlTest, PairResultsForClassicAndMalformedShapes) {
  const std::pair<const char*, int> cases[] = {
      {"<a/>", kXmlPairOk},
      {"", kXmlPairOk},
      {"<<<<", kXmlPairOk},  // empty pieces are skipped
      {"<a/", kXmlPairOk},
      {"<a x=\"1></a>", kXmlPairOk},
      {"<a></b>", kXmlPairMismatch},
      {"<s:a></a>", kXmlPairMismatch},
      {"<a><b></a></b>", kXmlPairMismatch},
      {"<a>", kXmlPairUnclosed},
      {"<a", kXmlPairUnclosed},
      {"<!-- note --><a/>", kXmlPairUnclosed},  // comments are not known
      {"</a>", kXmlPairUnopenedEnd},
      {"<a></a></a>", kXmlPairUnopenedEnd},
  };
  for (const auto& [text, result] : cases) EXPECT_EQ(ReadAndPair(text), result) << text;
  ReadAndPair("<a/>");
  EXPECT_EQ(Tags(), "+a -a ");
}

TEST_F(XmlTest, DeepNestingIsRefusedWithoutRecursion) {
  const size_t depth = upnp_limits::kXmlMaxDepth;
  std::string ok;
  for (size_t i = 0; i < depth; ++i) ok += "<a>";
  for (size_t i = 0; i < depth; ++i) ok += "</a>";
  EXPECT_EQ(ReadAndPair(ok), kXmlPairOk);
  EXPECT_EQ(ReadAndPair("<x>" + ok + "</x>"), kXmlPairTooDeep);

  std::string hostile;
  for (int i = 0; i < 50000; ++i) hostile += "<a>";
  EXPECT_EQ(ReadAndPair(hostile), kXmlPairTooDeep);
}

}  // namespace
