// Everything a renderer sends that the control point parses: the description body and
// the Location URL (its address for the subnet filter, the list line and the network
// folder URL the desktop is asked to open).
#include <cstddef>
#include <cstdint>
#include <string>

#include "controlpoint/renderer_description.h"
#include "controlpoint/renderer_text.h"

// The library's XML parser loses a text node on some malformed documents (about a
// hundred bytes each time); that is its fault, not ours, and is the only leak accepted.
extern "C" const char* __lsan_default_suppressions() {
  return "leak:ixmlDocument_createTextNodeEx\n";
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string input(reinterpret_cast<const char*>(data), size);
  controlpoint::ParseRendererDescription(input);
  controlpoint::LocationIpv4(input);
  controlpoint::ParseDottedQuad(input);
  controlpoint::RendererListLine(input, input);
  std::string url = controlpoint::RendererNetworkFolderUrl(input);
  // What reaches the desktop is always one plain host between fixed parts.
  if (!url.empty() && (url.rfind("smb://", 0) != 0 || url.back() != '/' ||
                       url.find_first_of("@?#\\ \r\n", 6) != std::string::npos)) {
    __builtin_trap();
  }
  return 0;
}
