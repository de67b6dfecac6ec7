// Any bytes as an XML body: read, pair, and walk what pairing linked.
#include <cstdint>
#include <vector>

#include "platform/testing/fuzz_check.h"
#include "upnp/limits.h"
#include "upnp/xml.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::vector<char> exact(data, data + size);
  auto document = FLibXml_Read(std::string_view(exact.data(), exact.size()));
  if (document == nullptr) return 0;
  const int result = FLibXml_Pair(*document);
  FuzzCheck(result >= kXmlPairTooDeep && result <= kXmlPairOk);
  for (const FLibXmlNode& node : document->Nodes) FuzzCheck(node.Position <= size);
  if (result != kXmlPairOk) return 0;

  size_t touched = 0;
  for (const FLibXmlNode& node : document->Nodes) {
    if (!node.IsStart) {
      FuzzCheck(node.StartNode != nullptr && node.StartNode->EndNode == &node);
      continue;
    }
    FuzzCheck(node.EndNode != nullptr && node.EndNode->StartNode == &node);
    touched += FLibXml_InnerText(*document, node).size();
    for (const FLibXmlNode* child = FLibXml_FirstChild(node); child != nullptr;
         child = child->Sibling) {
      FuzzCheck(child->Parent == &node);
    }
    size_t depth = 0;
    for (const FLibXmlNode* p = node.Parent; p != nullptr; p = p->Parent) ++depth;
    FuzzCheck(depth < upnp_limits::kXmlMaxDepth);
  }
  // Keeps the walk from being optimised away.
  FuzzCheck(touched < SIZE_MAX);
  return 0;
}
