#include "app/settings.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>

#include "app/command_line.h"
#include "library/library.h"
#include "library/testing/temp_library.h"
#include "platform/autostart.h"

namespace {

class SettingsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(lib_.ok());
    setenv("XDG_CONFIG_HOME", lib_.Path("config").c_str(), 1);
  }
  void TearDown() override { unsetenv("XDG_CONFIG_HOME"); }

  TempLibrary lib_;
};

TEST_F(SettingsTest, TranscodingIsOnOnlyWhenTheFirstFourLettersSayTrue) {
  ApplyStartupSettings();
  EXPECT_EQ(TranscodingEnable.load(), 0);
  for (const char* on : {"true", "TRUE", "tRuEish"}) {
    db_setAVP(kKeyTranscodingEnable, on);
    ApplyStartupSettings();
    EXPECT_EQ(TranscodingEnable.load(), 1) << on;
  }
  for (const char* off : {"", "TRU", "yes", " TRUE"}) {
    db_setAVP(kKeyTranscodingEnable, off);
    ApplyStartupSettings();
    EXPECT_EQ(TranscodingEnable.load(), 0) << off;
  }
}

TEST_F(SettingsTest, VideoQualityOutsideTheTableSelectsTheFirstRow) {
  for (auto [stored, expected] : std::vector<std::pair<const char*, int>>{
           {"2", 2}, {"1", 1}, {"3", 0}, {"-1", 0}, {"99999999999999", 0}, {"abc", 0}, {"", 0}}) {
    db_setAVP(kKeyTransVideoQuality, stored);
    ApplyStartupSettings();
    EXPECT_EQ(TransVideoQuality.load(), expected) << stored;
  }
}

TEST_F(SettingsTest, StoredFilterListReplacesTheTable) {
  ResetFilterTables();
  db_setAVP(kKeyVideoFilter, ".avi .mkv");
  LoadFilterTables();
  EXPECT_TRUE(ExtensionInFilters(".AVI", kFilterVideo));
  EXPECT_TRUE(ExtensionInFilters(".mkv", kFilterVideo));
  EXPECT_FALSE(ExtensionInFilters(".mp4", kFilterVideo));
  // The other tables kept their stored defaults.
  EXPECT_TRUE(ExtensionInFilters(".mp3", kFilterAudio));
  EXPECT_FALSE(ExtensionInFilters(".mp3", kFilterVideo | kFilterImage));
  EXPECT_TRUE(ExtensionInFilters(".m3u", kFilterPlaylist));
}

TEST_F(SettingsTest, EmptyValueEmptiesTheTableAndMissingRowKeepsIt) {
  FilterTable table;
  FillFilterTable(&table, "");
  EXPECT_TRUE(table.Active().empty());
  ResetFilterTables();
  // A library without the row: the table is not changed.
  db_execute(Sql{"delete from AVP where my_attribute = ?", {std::string(kKeyAudioFilter)}});
  LoadFilterTables();
  EXPECT_TRUE(ExtensionInFilters(".flac", kFilterAudio));
}

TEST_F(SettingsTest, FilterSpacesEndSlotsAndDoubleSpacesEndTheList) {
  FilterTable table;
  FillFilterTable(&table, ".a  .b");
  EXPECT_EQ(table.Active(), (std::vector<std::string>{".a"}));
  EXPECT_FALSE(table.Matches(".b"));
  FillFilterTable(&table, ".a .b ");
  EXPECT_EQ(table.Active(), (std::vector<std::string>{".a", ".b"}));
  EXPECT_FALSE(table.Matches(""));
}

TEST_F(SettingsTest, OverlongListsAndExtensionsAreCutNotWrittenPast) {
  std::string value;
  for (int i = 0; i < 40; ++i) value += ".e" + std::to_string(i) + " ";
  FilterTable table;
  FillFilterTable(&table, value);
  auto active = table.Active();
  ASSERT_EQ(active.size(), kFilterSlots - 1);
  EXPECT_EQ(active.back(), ".e28");
  FillFilterTable(&table, ".verylongextension .ok");
  EXPECT_EQ(table.Active(), (std::vector<std::string>{".verylong", ".ok"}));
  // The walk stops after 255 characters.
  FillFilterTable(&table, std::string(254, 'x') + " .late");
  EXPECT_FALSE(table.Matches(".late"));
  // A cut inside a multi-byte character keeps only whole characters.
  FillFilterTable(&table, ".ééééééé");
  EXPECT_EQ(table.Active(), (std::vector<std::string>{".éééé"}));
}

TEST_F(SettingsTest, OptionsModifiedComparesBoxesAndStoredLists) {
  EXPECT_EQ(IsOptionsModified(false, false, false), 0);
  EXPECT_EQ(IsOptionsModified(true, false, false), 1);
  EXPECT_EQ(IsOptionsModified(false, false, true), 1);
  db_setAVP(kKeyImageFilter, ".jpg");
  EXPECT_EQ(IsOptionsModified(false, false, false), 1);
  // It left the tables at the defaults.
  EXPECT_TRUE(ExtensionInFilters(".png", kFilterImage));
}

TEST_F(SettingsTest, ApplyOptionsStoresBoxesAndManagesTheAutostartEntry) {
  TransVideoQuality = 2;
  ApplyOptions(true, true, true);
  EXPECT_EQ(ReadSetting(kKeyEnableAutoRun), "TRUE");
  EXPECT_EQ(ReadSetting(kKeyMinimizedAtStartUp), "TRUE");
  EXPECT_EQ(ReadSetting(kKeyTranscodingEnable), "TRUE");
  EXPECT_EQ(ReadSetting(kKeyTransVideoQuality), "2");
  EXPECT_EQ(TranscodingEnable.load(), 1);
  EXPECT_TRUE(platform::IsAutostartEnabled());
  EXPECT_TRUE(std::filesystem::exists(lib_.Path("config/autostart/Orvex.desktop")));
  ApplyOptions(false, false, false);
  EXPECT_EQ(ReadSetting(kKeyEnableAutoRun), "FALSE");
  EXPECT_EQ(TranscodingEnable.load(), 0);
  EXPECT_FALSE(platform::IsAutostartEnabled());
  EXPECT_FALSE(std::filesystem::exists(lib_.Path("config/autostart/Orvex.desktop")));
}

TEST(ServerNameTest, RefusesEmptyNamesAndTheNineCharacters) {
  EXPECT_TRUE(IsValidServerName("Media (DEN) & more"));
  EXPECT_FALSE(IsValidServerName(""));
  for (char c : std::string("\\/:*?\"<>|")) {
    EXPECT_FALSE(IsValidServerName(std::string("a") + c + "b")) << c;
  }
}

// Parses `args` (after the program name). False with the message on a bad option.
bool Parse(std::vector<const char*> args, CommandLine* out, std::string* error) {
  args.insert(args.begin(), "mirelle");
  return ParseCommandLine(static_cast<int>(args.size()), args.data(), out, error);
}

TEST(CommandLineStreamsTest, EachStreamTakesTheTitleAndKindAfterIt) {
  CommandLine cl;
  std::string error;
  ASSERT_TRUE(Parse({"--add-stream", "http://a/1", "--kind", "AUDIO", "--title=Radio \"A\"",
                     "--remove-stream=http://b/2", "--kind=video", "--list-streams"},
                    &cl, &error))
      << error;
  ASSERT_EQ(cl.streams.size(), 2u);
  EXPECT_EQ(cl.streams[0].action, StreamCommand::Action::kAdd);
  EXPECT_EQ(cl.streams[0].url, "http://a/1");
  EXPECT_EQ(cl.streams[0].title, "Radio \"A\"");
  EXPECT_EQ(cl.streams[0].type, InternetMediaType::kAudio);
  EXPECT_EQ(cl.streams[1].action, StreamCommand::Action::kRemove);
  EXPECT_EQ(cl.streams[1].title, "");
  EXPECT_EQ(cl.streams[1].type, InternetMediaType::kVideo);
  EXPECT_TRUE(cl.listStreams);
}

TEST(CommandLineStreamsTest, MisplacedOrMissingPartsAreRefusedWithAMessage) {
  struct Case {
    std::vector<const char*> args;
    const char* message;
  };
  for (const Case& c : std::vector<Case>{
           {{"--title", "T"}, "option --title must follow --add-stream or --remove-stream"},
           {{"--add-stream", "http://a/"},
            "option --add-stream http://a/ needs --kind audio or --kind video"},
           {{"--add-stream", "http://a/", "--kind", "tv"},
            "option --kind takes audio or video, not tv"},
           {{"--add-stream", "http://a/", "--kind", "audio", "--kind", "video"},
            "option --kind is given twice for --add-stream http://a/"},
           {{"--remove-stream", ""}, "option --remove-stream needs a URL"},
           {{"--add-stream"}, "option --add-stream needs a value"},
           {{"--add-stream", "http://a/", "--kind", "audio", "--remove-stream", "http://b/"},
            "option --remove-stream http://b/ needs --kind audio or --kind video"},
       }) {
    CommandLine cl;
    std::string error;
    EXPECT_FALSE(Parse(c.args, &cl, &error)) << c.message;
    EXPECT_EQ(error, c.message);
  }
}

}  // namespace
