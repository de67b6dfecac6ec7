#include "gui/language.h"

#include <gtest/gtest.h>

#include <fstream>

#include "gui/texts.h"
#include "library/library.h"
#include "library/testing/temp_library.h"
#include "platform/codepage.h"
#include "platform/testing/test_support.h"

namespace {

using platform::testing::WriteFile;

const std::string kBom = "\xff\xfe";

// The bytes of a language file holding `text` (UTF-8 here) with a byte-order mark.
std::string FileBytes(const std::string& text, const std::string& bom = kBom) {
  return bom + platform::Utf8ToUtf16LE(text);
}

CLanguageTable Parsed(const std::string& text) {
  CLanguageTable table;
  table.Parse(FileBytes(text));
  return table;
}

TEST(LanguageTableTest, SectionsCollectTheirEntriesAndKeysMatchWithoutCase) {
  CLanguageTable table = Parsed(
      "; comment=before any section\r\n"
      "[en]\r\n"
      "Exit=Exit\r\n"
      "\r\n"
      "   \t\r\n"
      "no equals sign here\r\n"
      "Title=A=B\r\n"
      "[gm]\n"
      "Exit=Beenden\n"
      "[xx]\n"
      "Stay=still German\n");
  ASSERT_EQ(table.EntryCount(kSlotEnglish), 2u);
  EXPECT_EQ(table.Find(kSlotEnglish, "Title"), "A=B");
  EXPECT_EQ(table.Find(kSlotGerman, "Exit"), "Beenden");
  // An unknown section line leaves the current one selected.
  EXPECT_EQ(table.Find(kSlotGerman, "Stay"), "still German");
  EXPECT_EQ(table.ForcedSlot(), kSlotNone);
  // Without a byte-order mark the first character is lost: "en]" is no section line, so
  // the entry has no section to go to.
  table.Parse(FileBytes("[en]\nExit=Exit\n", ""));
  EXPECT_EQ(table.EntryCount(kSlotEnglish), 0u);
  // Keys match without case and the first entry wins; section tags compare their first
  // four characters.
  table = Parsed("[fr]\r\nExit=Quitter\r\nEXIT=Sortir\r\n");
  EXPECT_EQ(table.Find(kSlotFrench, "exit"), "Quitter");
  EXPECT_EQ(table.Find(kSlotFrench, "Absent"), std::nullopt);
  EXPECT_EQ(table.Find(kSlotEnglish, "Exit"), std::nullopt);
  table = Parsed("[Portugal and more]\nExit=Sair\n[Dut]\nExit=Afsluiten\n");
  EXPECT_EQ(table.Find(kSlotPortuguese, "Exit"), "Sair");
  EXPECT_EQ(table.Find(kSlotDutch, "Exit"), "Afsluiten");
  // Broken UTF-16 (odd byte counts, lone surrogates) is the fuzzer's part.
}

class LanguageFileTest : public ::testing::Test {
 protected:
  void TearDown() override {
    FreeLanguageTable();
    platform::SetTextCodePage(1252);
  }
  TempLibrary lib_;
};

// A missing file loads nothing but sets the code page. The chosen language is used, a
// switch keeps the code page the file was loaded with, a language the file lacks loads
// nothing, and a forced language wins over the setting, with code page 950.
TEST_F(LanguageFileTest, ChosenOrForcedLanguageIsUsedAndSwitchingKeepsTheCodePage) {
  EXPECT_EQ(LoadLanguageFileFrom(lib_.Path("lang.conf"), "0x11", ""), 0);
  EXPECT_EQ(CurrentLanguage(), kSlotNone);
  EXPECT_EQ(Text("Exit"), "Exit");
  EXPECT_EQ(platform::TextCodePage(), 932);

  WriteFile(lib_.Path("lang.conf"),
            FileBytes("[en]\nExit=Leave\n[gm]\nExit=Beenden\n[jp]\nExit=X\n"));
  EXPECT_EQ(LoadLanguageFileFrom(lib_.Path("lang.conf"), "0x07", ""), 1);
  EXPECT_EQ(LookUpText("EXIT"), "Beenden");
  EXPECT_EQ(Text("Exit"), "Beenden");
  // A key the language lacks falls back to the built-in English.
  EXPECT_EQ(Text("StartService"), "Start Service");
  ASSERT_EQ(platform::TextCodePage(), 950);
  EXPECT_EQ(SwitchLanguage("0x11"), 1);
  EXPECT_EQ(LookUpText("Exit"), "X");
  EXPECT_EQ(platform::TextCodePage(), 950);
  EXPECT_EQ(SwitchLanguage("0x0D"), 0);
  EXPECT_EQ(LookUpText("Exit"), std::nullopt);
  EXPECT_EQ(LoadLanguageFileFrom(lib_.Path("lang.conf"), "0x0C", ""), 0);
  EXPECT_EQ(CurrentLanguage(), kSlotNone);

  WriteFile(lib_.Path("lang.conf"), FileBytes("@[jp]\n[en]\nExit=Leave\n[jp]\nExit=X\n"));
  EXPECT_EQ(LoadLanguageFileFrom(lib_.Path("lang.conf"), "0x04", "zh_CN.UTF-8"), 1);
  EXPECT_EQ(CurrentLanguage(), kSlotJapanese);
  EXPECT_EQ(platform::TextCodePage(), 950);
}

// The shipped file has a text for every key the window uses in each of its languages,
// and the texts of a language are its own, not copies of the English.
TEST(ShippedLanguageFileTest, EveryWindowKeyIsTranslatedInEachLanguage) {
  std::ifstream file(ORVEX_SHIPPED_LANG_CONF, std::ios::binary);
  ASSERT_TRUE(file);
  std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  ASSERT_EQ(bytes.substr(0, 2), kBom);
  CLanguageTable table;
  table.Parse(bytes);
  for (int slot : {kSlotEnglish, kSlotGerman, kSlotFrench, kSlotSpanish}) {
    for (const BuiltInText& text : WindowTexts()) {
      std::optional<std::string> value = table.Find(slot, text.key);
      ASSERT_TRUE(value.has_value()) << kLanguageTags[slot] << " lacks " << text.key;
      EXPECT_FALSE(value->empty()) << kLanguageTags[slot] << " " << text.key;
      if (slot == kSlotEnglish) {
        EXPECT_EQ(*value, text.english) << text.key;
      }
    }
    if (slot == kSlotEnglish) continue;
    size_t same = 0;
    for (const BuiltInText& text : WindowTexts()) {
      if (table.Find(slot, text.key) == text.english) ++same;
    }
    // Words such as "Audio", "Video", "IP" and "OK" stay; most texts must not.
    EXPECT_LT(same, WindowTexts().size() / 5) << kLanguageTags[slot];
  }
}

}  // namespace
