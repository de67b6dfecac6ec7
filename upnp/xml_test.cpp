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
      {"no tags at all", kXmlPairOk},
      {"<<<<", kXmlPairOk},  // empty pieces are skipped
      {"<a/", kXmlPairOk},
      {"<a x=\"1></a>", kXmlPairOk},
      {"<a></b>", kXmlPairMismatch},
      {"<s:a></a>", kXmlPairMismatch},
      {"<a><b></a></b>", kXmlPairMismatch},
      {"<a>", kXmlPairUnclosed},
      {"<>", kXmlPairUnclosed},
      {"<a", kXmlPairUnclosed},
      {"<!-- note --><a/>", kXmlPairUnclosed},  // comments are not known
      {"</a>", kXmlPairUnopenedEnd},
      {"</>", kXmlPairUnopenedEnd},
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

TEST_F(XmlTest, TooManyTagsIsRefusedByTheReader) {
  std::string flood;
  for (size_t i = 0; i < upnp_limits::kXmlMaxNodes; ++i) flood += "<a/";
  EXPECT_EQ(FLibXml_Read(flood), nullptr);
  flood.resize(3 * (upnp_limits::kXmlMaxNodes / 2 - 1));
  EXPECT_NE(FLibXml_Read(flood), nullptr);
}

TEST_F(XmlTest, EveryTruncationIsSafeAndOnlyTheWholeDocumentPairs) {
  const std::string text =
      "<?xml version=\"1.0\"?><s:Envelope xmlns:s=\"e\"><s:Body><u:Browse xmlns:u='c'>"
      "<ObjectID>0</ObjectID><Filter/></u:Browse></s:Body></s:Envelope>";
  for (size_t n = 0; n < text.size(); ++n) {
    FLibXmlDocument& doc = Read(std::string_view(text).substr(0, n));
    const int result = FLibXml_Pair(doc);
    // Once the envelope has opened, only the whole document is well nested (the last
    // prefix lacks just the final ">", which an end tag may do without).
    if (n > 22 && n + 1 < text.size()) {
      EXPECT_NE(result, kXmlPairOk) << n;
    }
    for (const FLibXmlNode& node : doc.Nodes) {
      EXPECT_LE(node.Position, n);
      if (node.IsStart && node.EndNode != nullptr) {
        EXPECT_LE(FLibXml_InnerText(doc, node).size(), n);
      }
    }
  }
  EXPECT_EQ(ReadAndPair(text), kXmlPairOk);
}

}  // namespace
