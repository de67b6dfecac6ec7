// The logic of the window's renderer page: the list lines, the one-second timer that
// ages silent renderers out and searches again after a while, the refresh button and
// the network folder a double click opens. The Qt page shows Lines() and calls these.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "controlpoint/renderer_source.h"

namespace controlpoint {

class RendererPageModel {
 public:
  using TimePoint = std::chrono::system_clock::time_point;

  // `source` must outlive the model.
  explicit RendererPageModel(RendererSource* source);

  // The page opens: one search, the current renderers and their lines. The page then
  // starts its timer (renderer_limits::kPageTickMs) and shows the button text of
  // renderer_limits::kCancelTextKey.
  void Open();

  // One timer tick at calendar time `now`: renderers not seen for more than the ageing
  // time are removed from the source; once the page has been open for more than the
  // re-search time, every tick also searches. True when the lines changed and the list
  // must be shown again.
  bool Tick(TimePoint now);
  bool Tick() { return Tick(std::chrono::system_clock::now()); }

  // The refresh button: stops the control point, pauses, and starts it again without a
  // subnet filter. Returns the start's code. Blocks for the pause and the stop.
  int Refresh();

  const std::vector<std::string>& Lines() const { return lines_; }
  const std::vector<RendererEntry>& Renderers() const { return renderers_; }

  // What a double click on line `row` opens: "smb://HOST/", or empty when there is no
  // such line or its location names no plain host.
  std::string NetworkFolderUrl(size_t row) const;

 private:
  // Copies the source's renderers and forms their lines; true when the lines changed.
  bool Reload();

  RendererSource* source_;
  std::vector<RendererEntry> renderers_;
  std::vector<std::string> lines_;
  std::optional<TimePoint> firstTick_;
};

}  // namespace controlpoint
