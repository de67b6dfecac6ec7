#include "gui/renderer_dialog.h"

#include <gtest/gtest.h>

#include <QListWidget>

#include "controlpoint/testing/fake_renderer_source.h"

namespace {

using controlpoint::RendererEntry;
using Clock = std::chrono::system_clock;

int64_t Seconds(Clock::time_point t) {
  return std::chrono::duration_cast<std::chrono::seconds>(t.time_since_epoch()).count();
}

TEST(RendererDialogTest, ListsRenderersOpensTheirFolderAndAgesSilentOnesOut) {
  const Clock::time_point now = Clock::now();
  controlpoint::FakeRendererSource source;
  RendererEntry tv;
  tv.location = "http://192.168.1.40:49152/description.xml";
  tv.friendlyName = "Living Room TV";
  tv.lastSeen = Seconds(now);
  RendererEntry box = tv;
  box.location = "http://192.168.1.41:8080/dev.xml";
  box.friendlyName = "Kitchen";
  box.lastSeen = Seconds(now) - 30;
  source.table = {tv, box};

  std::vector<std::string> opened;
  CRendererDialog dialog(&source, nullptr, [&](const std::string& url) { opened.push_back(url); });
  EXPECT_EQ(source.searches, 1);
  QListWidget* list = dialog.findChild<QListWidget*>();
  ASSERT_EQ(list->count(), 2);
  EXPECT_TRUE(list->item(0)->text().endsWith("web/IMedia      Living Room TV"));

  dialog.OpenRow(1);
  dialog.OpenRow(5);
  EXPECT_EQ(opened, std::vector<std::string>({"smb://192.168.1.41/"}));

  // Forty seconds on, the kitchen box has been silent for seventy: it leaves the list.
  dialog.Tick(now);
  dialog.Tick(now + std::chrono::seconds(40));
  ASSERT_EQ(list->count(), 1);
  EXPECT_TRUE(list->item(0)->text().endsWith("Living Room TV"));
}

}  // namespace
