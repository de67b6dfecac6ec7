#include "cds/update_events.h"

#include <gtest/gtest.h>

#include "cds/cds_limits.h"

namespace {

LibraryChange Change(uint32_t id, std::vector<int32_t> containers, bool overflow = false) {
  LibraryChange change;
  change.systemUpdateId = id;
  change.containers = std::move(containers);
  change.overflow = overflow;
  return change;
}

TEST(UpdateEventModeratorTest, TooManyChangedContainersLeaveSystemUpdateIdAlone) {
  UpdateEventModerator moderator;
  std::vector<int32_t> many;
  for (int32_t id = 0; id < static_cast<int32_t>(kContainerUpdateIdsMax); ++id) many.push_back(id);
  moderator.Note(Change(3, many));
  moderator.Note(Change(4, {1000}));
  std::optional<UpdateEvent> event = moderator.TakeDue(0);
  ASSERT_TRUE(event);
  EXPECT_EQ(event->systemUpdateId, 4u);
  EXPECT_FALSE(event->containerUpdateIds);
  // The next interval lists again; a commit that changed too much to name falls back too.
  moderator.Note(Change(5, {9}));
  event = moderator.TakeDue(kUpdateEventIntervalMs);
  ASSERT_TRUE(event);
  EXPECT_EQ(event->containerUpdateIds, "9,5");
  moderator.Note(Change(6, {}, true));
  event = moderator.TakeDue(2 * kUpdateEventIntervalMs);
  ASSERT_TRUE(event);
  EXPECT_FALSE(event->containerUpdateIds);
}

}  // namespace
