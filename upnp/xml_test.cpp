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
    document_ = FLibXml_Read(buffer_.data(), 0, buffer_.size());
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

TEST_F(XmlTest, PositionsFrameTheRawContent) {
  FLibXmlDocument& doc = Read("<r><ObjectID>a&amp;b</ObjectID><E/><F></F></r>");
  ASSERT_EQ(FLibXml_Pair(doc), kXmlPairOk);
  const FLibXmlNode* objectId = doc.First()->Next;
  EXPECT_EQ(FLibXml_InnerText(doc, *objectId), "a&amp;b");
  const FLibXmlNode* empty = objectId->Sibling;
  ASSERT_NE(empty, nullptr);
  EXPECT_TRUE(empty->IsEmpty);
  EXPECT_EQ(FLibXml_InnerText(doc, *empty), "");
  EXPECT_EQ(FLibXml_InnerText(doc, *empty->Sibling), "");
  EXPECT_EQ(FLibXml_InnerText(doc, *doc.First()), "<ObjectID>a&amp;b</ObjectID><E/><F></F>");
}

TEST_F(XmlTest, PairLinksParentsSiblingsAndEndsAndCanBeRepeated) {
  FLibXmlDocument& doc = Read("<a><b><c/></b><d/><e></e></a>");
  ASSERT_EQ(FLibXml_Pair(doc), kXmlPairOk);
  ASSERT_EQ(FLibXml_Pair(doc), kXmlPairOk);
  const FLibXmlNode* a = doc.First();
  const FLibXmlNode* b = a->Next;
  const FLibXmlNode* c = b->Next;
  EXPECT_EQ(a->Parent, nullptr);
  EXPECT_EQ(b->Parent, a);
  EXPECT_EQ(c->Parent, b);
  EXPECT_EQ(c->Sibling, nullptr);
  ASSERT_NE(b->Sibling, nullptr);
  EXPECT_EQ(b->Sibling->Name, "d");
  ASSERT_NE(b->Sibling->Sibling, nullptr);
  EXPECT_EQ(b->Sibling->Sibling->Name, "e");
  EXPECT_EQ(b->Sibling->Sibling->Sibling, nullptr);
  EXPECT_EQ(a->EndNode->StartNode, a);
  EXPECT_EQ(a->EndNode->Next, nullptr);
}

TEST_F(XmlTest, FindChildWalksOneLevelByLocalName) {
  FLibXmlDocument& doc = Read(
      "<s:Envelope><s:Body><u:Browse><ObjectID>0</ObjectID><x><Filter>deep</Filter></x>"
      "<Filter>*</Filter></u:Browse></s:Body></s:Envelope>");
  ASSERT_EQ(FLibXml_Pair(doc), kXmlPairOk);
  const FLibXmlNode* body = FLibXml_FindChild(*doc.First(), "Body");
  ASSERT_NE(body, nullptr);
  const FLibXmlNode* action = FLibXml_FindChild(*body, "Browse");
  ASSERT_NE(action, nullptr);
  EXPECT_EQ(FLibXml_FirstChild(*action)->Name, "ObjectID");
  const FLibXmlNode* filter = FLibXml_FindChild(*action, "Filter");
  ASSERT_NE(filter, nullptr);
  EXPECT_EQ(FLibXml_InnerText(doc, *filter), "*");  // the direct child, not the nested one
  EXPECT_EQ(FLibXml_FindChild(*body, "ObjectID"), nullptr);
  EXPECT_EQ(FLibXml_FirstChild(*filter), nullptr);
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

TEST_F(XmlTest, AttributesAndNamespaceLookUp) {
  FLibXmlDocument& doc = Read(
      "<e:propertyset xmlns:e=\"urn:schemas-upnp-org:event-1-0\" xmlns=\"urn:default\">"
      "<e:property><SystemUpdateID a = 'x' b=\"y\" broken>7</SystemUpdateID></e:property>"
      "</e:propertyset>");
  ASSERT_EQ(FLibXml_Pair(doc), kXmlPairOk);
  const FLibXmlNode* inner = doc.First()->Next->Next;
  ASSERT_EQ(inner->Name, "SystemUpdateID");
  EXPECT_EQ(FLibXml_Attribute(*inner, "", "a").value_or("-"), "x");
  EXPECT_EQ(FLibXml_Attribute(*inner, "", "b").value_or("-"), "y");
  EXPECT_FALSE(FLibXml_Attribute(*inner, "", "broken").has_value());
  EXPECT_EQ(FLibXml_LookupNamespace(*inner, "e").value_or("-"), "urn:schemas-upnp-org:event-1-0");
  EXPECT_EQ(FLibXml_LookupNamespace(*inner, "").value_or("-"), "urn:default");
  EXPECT_FALSE(FLibXml_LookupNamespace(*inner, "u").has_value());
  EXPECT_EQ(FLibXml_LookupNamespace(*inner->EndNode, "e").value_or("-"),
            "urn:schemas-upnp-org:event-1-0");
}

TEST_F(XmlTest, OffsetFormPositionsAreRelativeToTheRange) {
  const std::string buffer = "xxxx<a>v</a>yyyy";
  auto doc = FLibXml_Read(buffer.data(), 4, 8);
  ASSERT_NE(doc, nullptr);
  ASSERT_EQ(FLibXml_Pair(*doc), kXmlPairOk);
  EXPECT_EQ(doc->First()->Position, 3u);
  EXPECT_EQ(FLibXml_InnerText(*doc, *doc->First()), "v");
}

}  // namespace
