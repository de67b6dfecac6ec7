// What the renderer page needs of the control point, so the page's logic can be tested
// against a source that the test fills by hand.
#pragma once

#include <cstddef>
#include <string_view>
#include <vector>

#include "controlpoint/renderer_registry.h"

namespace controlpoint {

class RendererSource {
 public:
  virtual ~RendererSource() = default;

  // Starts discovery; empty texts mean no same-subnet filter. 0 or the library's code.
  virtual int Start(std::string_view hostAddress = {}, std::string_view mask = {}) = 0;
  virtual void Stop() = 0;
  // Sends one search for renderers (nothing when stopped).
  virtual void Search() = 0;
  virtual size_t CopyRenderers(std::vector<RendererEntry>* destination) const = 0;
  virtual bool RemoveRenderer(size_t index) = 0;
};

}  // namespace controlpoint
