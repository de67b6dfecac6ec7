// A minimal XML tag reader for SOAP and GENA bodies: it finds tags and pairs them; text
// between tags is taken raw (FLibXml_InnerText) and unescaped by the caller. Comments,
// CDATA and DOCTYPE are not recognised.
#pragma once

#include <cstddef>
#include <memory>
#include <string_view>
#include <vector>

// One start or end tag. An empty-element tag "<a/>" yields a start node (IsEmpty) and an
// end node. Position is an offset into the document text: for a start tag just after its
// ">" (where its content starts), for an end tag the "<" that opens it. The links other
// than Next are set by FLibXml_Pair.
struct FLibXmlNode {
  std::string_view Name;    // local name
  std::string_view Prefix;  // namespace prefix without ":", empty when none
  bool IsStart = false;
  bool IsEmpty = false;
  size_t Position = 0;
  FLibXmlNode* Next = nullptr;       // the next tag in document order
  FLibXmlNode* Parent = nullptr;     // start node: the enclosing start node
  FLibXmlNode* Sibling = nullptr;    // start node: the next start node with the same parent
  FLibXmlNode* EndNode = nullptr;    // start node: its end node
  FLibXmlNode* StartNode = nullptr;  // end node: its start node
};

// The nodes of one document. Views and positions refer to the text given to FLibXml_Read,
// which must outlive the document. Not copyable: nodes point at each other.
struct FLibXmlDocument {
  std::string_view Text;
  std::vector<FLibXmlNode> Nodes;  // document order

  FLibXmlDocument() = default;
  FLibXmlDocument(const FLibXmlDocument&) = delete;
  FLibXmlDocument& operator=(const FLibXmlDocument&) = delete;

  // The first node, or null when the text holds no tag.
  FLibXmlNode* First() { return Nodes.empty() ? nullptr : &Nodes.front(); }
  const FLibXmlNode* First() const { return Nodes.empty() ? nullptr : &Nodes.front(); }
};

using FLibXmlDocumentPtr = std::unique_ptr<FLibXmlDocument>;

// Reads the tags of `text`. Never fails on malformed text (FLibXml_Pair judges it), but
// returns null when the text holds more than upnp_limits::kXmlMaxNodes tags.
FLibXmlDocumentPtr FLibXml_Read(std::string_view text);

// Results of FLibXml_Pair.
inline constexpr int kXmlPairOk = 0;
inline constexpr int kXmlPairUnopenedEnd = -1;  // an end tag with no open start tag
inline constexpr int kXmlPairMismatch = -2;     // an end tag that does not close the open tag
inline constexpr int kXmlPairUnclosed = -3;     // start tags still open at the end
inline constexpr int kXmlPairTooDeep = -4;      // nesting beyond upnp_limits::kXmlMaxDepth

// Pairs start and end tags (name and prefix must match exactly) and sets Parent, Sibling,
// EndNode and StartNode. Returns one of the results above; any negative result means the
// document is not well nested and its links must not be used. Iterative: deep input costs
// no call stack. May be called again; links are recomputed.
int FLibXml_Pair(FLibXmlDocument& document);

// The raw text between a paired start node and its end node; empty for an empty element
// or an unpaired node.
std::string_view FLibXml_InnerText(const FLibXmlDocument& document, const FLibXmlNode& start);

// The first child element of a paired start node, or null (after a successful
// FLibXml_Pair).
const FLibXmlNode* FLibXml_FirstChild(const FLibXmlNode& start);

// The first child element of a paired start node whose local name is `name` (exact,
// case-sensitive; the prefix is ignored), or null.
const FLibXmlNode* FLibXml_FindChild(const FLibXmlNode& start, std::string_view name);
