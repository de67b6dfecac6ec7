#include "app/settings.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>

#include "app/command_line.h"
#include "app/settings_commands.h"
#include "library/library.h"
#include "library/testing/temp_library.h"

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

// Spaces end slots and two spaces end the list; overlong lists and extensions are cut,
// never written past, and a cut inside a multi-byte character keeps whole characters.
TEST_F(SettingsTest, FilterListsAreCutNotWrittenPast) {
  std::string forty;
  for (int i = 0; i < 40; ++i) forty += ".e" + std::to_string(i) + " ";
  FilterTable table;
  FillFilterTable(&table, forty);
  ASSERT_EQ(table.Active().size(), kFilterSlots - 1);
  EXPECT_EQ(table.Active().back(), ".e28");
  for (auto [value, active] : std::vector<std::pair<std::string, std::vector<std::string>>>{
           {"", {}},
           {".a  .b", {".a"}},
           {".a .b ", {".a", ".b"}},
           {".verylongextension .ok", {".verylong", ".ok"}},
           {std::string(254, 'x') + " .late", {std::string(kFilterExtensionMax, 'x')}},
           {".ééééééé", {".éééé"}}}) {
    FillFilterTable(&table, value);
    EXPECT_EQ(table.Active(), active) << value;
    EXPECT_FALSE(table.Matches("")) << value;
  }
}

// Each kind of setting refuses what it cannot store, saying what it takes, and a list
// with one bad change stores nothing; what is stored reads back in the form --set takes.
TEST_F(SettingsTest, SettingsByNameRefuseBadValuesAndReadBackAsGiven) {
  std::string forty, error, value;
  for (int i = 0; i < 40; ++i) forty += ".e" + std::to_string(i) + " ";
  for (auto [key, bad, why] : std::vector<std::tuple<std::string, std::string, std::string>>{
           {"volume", "3", "unknown setting volume"},
           {"autostart", "maybe", "autostart: it takes yes or no"},
           {"quality", "12", "it takes 0, 1 or 2"},
           {"language", "klingon", "it takes chinese, english, french, german, italian"},
           {"name", "", "Server name cannot be empty"},
           {"share", "media", "for share: it takes a folder's full path"},
           {"video-types", "mkv",
            "video-types: it takes extensions such as \".mp3 .ogg\" (at "
            "most 29, each of at most 8 letters or digits)"},
           {"video-types", ". .mkv", "bad value"},
           {"video-types", ".mkvmkvmkv", "bad value"},
           {"video-types", ".m-v", "bad value"},
           {"music-types", forty, "bad value"}}) {
    EXPECT_FALSE(ApplySettingChanges({{"minimized", "on"}, {key, bad}}, &error)) << key;
    EXPECT_NE(error.find(why), std::string::npos) << error;
  }
  EXPECT_TRUE(GetSettingByName("Minimized", &value, &error));
  EXPECT_EQ(value, "no");
  ASSERT_TRUE(ApplySettingChanges({{"AUTOSTART", "off"},
                                   {"language", "Hebrew"},
                                   {"picture-types", "\t.png\t\t.JPG  "},
                                   {"share", "/m"}},
                                  &error))
      << error;
  for (auto [key, shown] :
       std::vector<std::pair<const char*, const char*>>{{"autostart", "no"},
                                                        {"language", "hebrew"},
                                                        {"picture-types", ".png .JPG"},
                                                        {"quality", "0"},
                                                        {"share", ""}}) {
    EXPECT_TRUE(GetSettingByName(key, &value, &error));
    EXPECT_EQ(value, shown) << key;
  }
  db_setAVP(kKeyLanguage, "0x99");
  EXPECT_NE(ListSettings().find("\nlanguage = 0x99\n"), std::string::npos);
  EXPECT_FALSE(GetSettingByName("volume", &value, &error));
  SettingChange change;
  EXPECT_FALSE(ParseSettingAssignment(" = 1", &change, &error));
  EXPECT_EQ(FoldersToShare({{"share", "/m/"}, {"name", "x"}, {"SHARE", "/m"}, {"share", "/n"}}),
            std::vector<std::string>({"/m", "/n"}));
}

// Parses `args` (after the program name). False with the message on a bad option.
bool Parse(std::vector<const char*> args, CommandLine* out, std::string* error) {
  args.insert(args.begin(), "mirelle");
  return ParseCommandLine(static_cast<int>(args.size()), args.data(), out, error);
}

// Each stream takes the title and kind after it (adding one is also done by the abort
// storm test's server); misplaced or missing parts are refused with a message.
TEST(CommandLineStreamsTest, EachStreamTakesTheTitleAndKindAfterIt) {
  CommandLine cl;
  std::string error;
  ASSERT_TRUE(Parse({"--add-stream", "http://a/1", "--kind", "AUDIO", "--title=Radio \"A\"",
                     "--remove-stream=http://b/2", "--kind=video", "--list-streams",
                     "--unshare=gone/away", "--set", "a = b", "-h", "--status", "--rescan"},
                    &cl, &error))
      << error;
  ASSERT_EQ(cl.streams.size(), 2u);
  EXPECT_EQ(cl.streams[0].title, "Radio \"A\"");
  EXPECT_EQ(cl.streams[1].action, StreamCommand::Action::kRemove);
  EXPECT_EQ(cl.streams[1].title, "");
  EXPECT_EQ(cl.streams[1].type, InternetMediaType::kVideo);
  EXPECT_TRUE(cl.listStreams);
  ASSERT_EQ(cl.unshare.size(), 1u);  // a folder gone already is made absolute all the same
  EXPECT_EQ(cl.unshare[0], std::filesystem::current_path().string() + "/gone/away");
  EXPECT_EQ(cl.set[0].value, "b");
  for (auto [args, message] : std::vector<std::pair<std::vector<const char*>, const char*>>{
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
           {{"--home="}, "option --home needs a directory"},
           {{"--unshare", ""}, "option --unshare needs a folder"},
           {{"--set", "quality"}, "\"quality\" is not KEY=VALUE"},
           {{"--get"}, "option --get needs a value"},
           {{"--config"}, "option --config needs a value"},
           {{"--share=/dev/null"}, "option --share: /dev/null is not a folder"},
           {{"--refresh", ""}, "option --refresh: folder  does not exist"}}) {
    CommandLine fresh;
    EXPECT_FALSE(Parse(args, &fresh, &error)) << message;
    EXPECT_EQ(error, message);
  }
}

}  // namespace
