#include "upnp/xml.h"

#include "upnp/limits.h"

namespace {

bool IsNameEnd(char c) {
  return c == ' ' || c == '/' || c == '>' || c == '\t' || c == '\r' || c == '\n';
}

// "s:Envelope" -> prefix "s", local name "Envelope".
void SplitQualifiedName(std::string_view qualified, std::string_view* prefix,
                        std::string_view* name) {
  const size_t colon = qualified.find(':');
  if (colon == std::string_view::npos) {
    *prefix = {};
    *name = qualified;
  } else {
    *prefix = qualified.substr(0, colon);
    *name = qualified.substr(colon + 1);
  }
}

// One piece of text that followed a "<", at offset `at` of the document (the "<").
// Appends its node or nodes.
void ReadTag(std::string_view piece, size_t at, std::vector<FLibXmlNode>* nodes) {
  const size_t close = piece.find('>');
  // Content starts after the ">"; a tag cut off by the next "<" has none of its own.
  const size_t contentStart = at + 1 + (close == std::string_view::npos ? piece.size() : close + 1);
  std::string_view inside = piece.substr(0, close);

  FLibXmlNode node;
  if (!inside.empty() && inside.front() == '/') {
    inside.remove_prefix(1);
    node.IsStart = false;
    node.Position = at;
  } else {
    node.IsStart = true;
    node.IsEmpty = !inside.empty() && inside.back() == '/';
    if (node.IsEmpty) inside.remove_suffix(1);
    node.Position = contentStart;
  }
  size_t nameEnd = 0;
  while (nameEnd < inside.size() && !IsNameEnd(inside[nameEnd])) ++nameEnd;
  SplitQualifiedName(inside.substr(0, nameEnd), &node.Prefix, &node.Name);
  nodes->push_back(std::move(node));

  if (nodes->back().IsEmpty) {
    FLibXmlNode end;
    end.Name = nodes->back().Name;
    end.Prefix = nodes->back().Prefix;
    // An empty element's content is empty: both positions meet after the tag.
    end.Position = contentStart;
    nodes->push_back(std::move(end));
  }
}

}  // namespace

FLibXmlDocumentPtr FLibXml_Read(std::string_view text) {
  auto document = std::make_unique<FLibXmlDocument>();
  document->Text = text;
  std::vector<FLibXmlNode>& nodes = document->Nodes;
  size_t at = text.find('<');
  while (at != std::string_view::npos) {
    const size_t next = text.find('<', at + 1);
    const size_t end = next == std::string_view::npos ? text.size() : next;
    const std::string_view piece = text.substr(at + 1, end - at - 1);
    if (!piece.empty() && piece.front() != '?') {
      // An empty element adds two nodes; refuse before either could pass the limit.
      if (nodes.size() + 2 > upnp_limits::kXmlMaxNodes) return nullptr;
      ReadTag(piece, at, &nodes);
    }
    at = next;
  }
  for (size_t i = 0; i + 1 < nodes.size(); ++i) nodes[i].Next = &nodes[i + 1];
  return document;
}

int FLibXml_Pair(FLibXmlDocument& document) {
  for (FLibXmlNode& node : document.Nodes) {
    node.Parent = node.Sibling = node.EndNode = node.StartNode = nullptr;
  }
  // Each level of the stack holds the open start node and the last child closed in it,
  // so that the next child can be linked as its sibling.
  struct Level {
    FLibXmlNode* Open;
    FLibXmlNode* LastChild;
  };
  std::vector<Level> stack;
  FLibXmlNode* lastTopLevel = nullptr;
  for (FLibXmlNode& node : document.Nodes) {
    if (node.IsStart) {
      if (stack.size() >= upnp_limits::kXmlMaxDepth) return kXmlPairTooDeep;
      FLibXmlNode*& previous = stack.empty() ? lastTopLevel : stack.back().LastChild;
      if (previous != nullptr) previous->Sibling = &node;
      previous = &node;
      node.Parent = stack.empty() ? nullptr : stack.back().Open;
      stack.push_back({&node, nullptr});
      continue;
    }
    if (stack.empty()) return kXmlPairUnopenedEnd;
    FLibXmlNode* open = stack.back().Open;
    if (open->Name != node.Name || open->Prefix != node.Prefix) return kXmlPairMismatch;
    open->EndNode = &node;
    node.StartNode = open;
    node.Parent = open->Parent;
    stack.pop_back();
  }
  return stack.empty() ? kXmlPairOk : kXmlPairUnclosed;
}

std::string_view FLibXml_InnerText(const FLibXmlDocument& document, const FLibXmlNode& start) {
  if (!start.IsStart || start.EndNode == nullptr) return {};
  const size_t from = start.Position;
  const size_t to = start.EndNode->Position;
  if (from > to || to > document.Text.size()) return {};
  return document.Text.substr(from, to - from);
}

const FLibXmlNode* FLibXml_FirstChild(const FLibXmlNode& start) {
  if (!start.IsStart || start.IsEmpty) return nullptr;
  const FLibXmlNode* next = start.Next;
  if (next == nullptr || !next->IsStart || next->Parent != &start) return nullptr;
  return next;
}

const FLibXmlNode* FLibXml_FindChild(const FLibXmlNode& start, std::string_view name) {
  for (const FLibXmlNode* child = FLibXml_FirstChild(start); child != nullptr;
       child = child->Sibling) {
    if (child->Name == name) return child;
  }
  return nullptr;
}
