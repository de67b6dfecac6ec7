#include "controlpoint/renderer_page.h"

#include "controlpoint/renderer_limits.h"
#include "controlpoint/renderer_text.h"
#include "platform/tick.h"

namespace controlpoint {
namespace {

namespace limits = renderer_limits;

int64_t Seconds(RendererPageModel::TimePoint time) {
  return std::chrono::duration_cast<std::chrono::seconds>(time.time_since_epoch()).count();
}

}  // namespace

RendererPageModel::RendererPageModel(RendererSource* source) : source_(source) {}

void RendererPageModel::Open() {
  firstTick_.reset();
  source_->Search();
  Reload();
}

bool RendererPageModel::Tick(TimePoint now) {
  std::vector<RendererEntry> current;
  source_->CopyRenderers(&current);
  if (!firstTick_) firstTick_ = now;
  if (now - *firstTick_ > std::chrono::seconds(limits::kResearchAfterSeconds)) source_->Search();

  // From the last entry back: discovery only appends or updates in place, so removing
  // behind the entries still to be looked at keeps their positions valid.
  const int64_t nowSeconds = Seconds(now);
  for (size_t i = current.size(); i-- > 0;) {
    if (nowSeconds - current[i].lastSeen > limits::kAgeingSeconds) source_->RemoveRenderer(i);
  }
  return Reload();
}

int RendererPageModel::Refresh() {
  source_->Stop();
  platform::SleepMs(limits::kRefreshPauseMs);
  return source_->Start();
}

std::string RendererPageModel::NetworkFolderUrl(size_t row) const {
  if (row >= renderers_.size()) return {};
  return RendererNetworkFolderUrl(renderers_[row].location);
}

bool RendererPageModel::Reload() {
  source_->CopyRenderers(&renderers_);
  std::vector<std::string> lines;
  lines.reserve(renderers_.size());
  for (const RendererEntry& entry : renderers_) {
    lines.push_back(RendererListLine(entry.location, entry.friendlyName));
  }
  if (lines == lines_) return false;
  lines_ = std::move(lines);
  return true;
}

}  // namespace controlpoint
