// Reading a renderer's device description.
#pragma once

#include <optional>
#include <string>

namespace controlpoint {

// What the control point keeps of a device description.
struct RendererDescription {
  std::string udn;           // the UDN element, empty when there is none
  std::string friendlyName;  // the friendlyName element, or the unknown-name text
};

// Parses a description body (any bytes; parsing stops at the first zero byte) with the
// library's XML parser. The first UDN and friendlyName in document order are the root
// device's. A missing or empty friendlyName gives the unknown-name text. Nothing when
// the body is not well-formed XML.
std::optional<RendererDescription> ParseRendererDescription(const std::string& body);

}  // namespace controlpoint
