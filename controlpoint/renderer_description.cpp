#include "controlpoint/renderer_description.h"

#include <ixml.h>

#include <memory>

#include "controlpoint/renderer_limits.h"

namespace controlpoint {
namespace {

struct DocumentFree {
  void operator()(IXML_Document* document) const { ixmlDocument_free(document); }
};
struct NodeListFree {
  void operator()(IXML_NodeList* list) const { ixmlNodeList_free(list); }
};
using DocumentPtr = std::unique_ptr<IXML_Document, DocumentFree>;
using NodeListPtr = std::unique_ptr<IXML_NodeList, NodeListFree>;

// The text of the first element named `name`, or empty when there is none or it has no
// text.
std::string FirstElementText(IXML_Document* document, const char* name) {
  NodeListPtr list(ixmlDocument_getElementsByTagName(document, name));
  if (!list || ixmlNodeList_length(list.get()) == 0) return {};
  IXML_Node* element = ixmlNodeList_item(list.get(), 0);
  if (element == nullptr) return {};
  IXML_Node* text = ixmlNode_getFirstChild(element);
  if (text == nullptr || ixmlNode_getNodeType(text) != eTEXT_NODE) return {};
  const char* value = ixmlNode_getNodeValue(text);
  return value == nullptr ? std::string() : std::string(value);
}

}  // namespace

std::optional<RendererDescription> ParseRendererDescription(const std::string& body) {
  IXML_Document* raw = nullptr;
  if (ixmlParseBufferEx(body.c_str(), &raw) != IXML_SUCCESS || raw == nullptr) {
    if (raw != nullptr) ixmlDocument_free(raw);
    return std::nullopt;
  }
  DocumentPtr document(raw);
  RendererDescription description;
  description.udn = FirstElementText(document.get(), "UDN");
  description.friendlyName = FirstElementText(document.get(), "friendlyName");
  if (description.friendlyName.empty()) {
    description.friendlyName = renderer_limits::kUnknownFriendlyName;
  }
  return description;
}

}  // namespace controlpoint
