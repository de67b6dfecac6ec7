// Any bytes as an XML body: read, pair, and walk what pairing linked.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "upnp/limits.h"
#include "upnp/xml.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::vector<char> exact(data, data + size);
  auto document = FLibXml_Read(std::string_view(exact.data(), exact.size()));
  if (document == nullptr) return 0;
  const int result = FLibXml_Pair(*document);
  Check(result >= kXmlPairTooDeep && result <= kXmlPairOk);
  for (const FLibXmlNode& node : document->Nodes) Check(node.Position <= size);
  if (result != kXmlPairOk) return 0;

  size_t touched = 0;
  for (const FLibXmlNode& node : document->Nodes) {
    if (!node.IsStart) {
      Check(node.StartNode != nullptr && node.StartNode->EndNode == &node);
      continue;
    }
    Check(node.EndNode != nullptr && node.EndNode->StartNode == &node);
    touched += FLibXml_InnerText(*document, node).size();
    for (const FLibXmlNode* child = FLibXml_FirstChild(node); child != nullptr;
         child = child->Sibling) {
      Check(child->Parent == &node);
    }
    size_t depth = 0;
    for (const FLibXmlNode* p = node.Parent; p != nullptr; p = p->Parent) ++depth;
    Check(depth < upnp_limits::kXmlMaxDepth);
  }
  // Keeps the walk from being optimised away.
  Check(touched < SIZE_MAX);
  return 0;
}
