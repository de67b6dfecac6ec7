// A renderer source whose table a test fills by hand, recording what it is asked.
#pragma once

#include <string>
#include <vector>

#include "controlpoint/renderer_source.h"

namespace controlpoint {

class FakeRendererSource : public RendererSource {
 public:
  int Start(std::string_view, std::string_view) override { return 0; }
  void Stop() override { table.clear(); }
  void Search() override { ++searches; }
  size_t CopyRenderers(std::vector<RendererEntry>* destination) const override {
    *destination = table;
    return table.size();
  }
  bool RemoveRenderer(size_t index) override {
    if (index >= table.size()) return false;
    table.erase(table.begin() + static_cast<std::ptrdiff_t>(index));
    return true;
  }

  // A renderer at http://10.0.0.5:49494/description.xml last seen at `lastSeen` (seconds).
  void Add(const std::string& name, int64_t lastSeen) {
    table.push_back({});
    table.back().location = "http://10.0.0.5:49494/description.xml";
    table.back().friendlyName = name;
    table.back().lastSeen = lastSeen;
  }

  std::vector<RendererEntry> table;
  int searches = 0;
};

}  // namespace controlpoint
