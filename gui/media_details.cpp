#include "gui/media_details.h"

#include "library/library.h"
#include "library/statements.h"
#include "media/wm_tag.h"

MediaDetails ReadMediaDetails(const std::string& path) {
  WMTagBlock block;
  WMTag_Read(path, &block);
  return block;
}

bool SaveMediaDetails(const std::string& path, const MediaDetails& details) {
  WMTagBlock block;
  static_cast<WMTagTexts&>(block) = details;
  // Music gets the tags it lacks added; other files only have the ones they carry changed.
  MediaRecord record;
  if (db_getOneRecord(sql::ByPath(path), &record) > 0 && record.FileType.rfind("Audio", 0) == 0) {
    block.FileType = "Audio";
  }
  if (!WMTag_Write(path, block)) return false;
  db_execute(sql::UpdateTags(path, details.Title, details.Author, details.Album, details.Genre));
  db_invalidateBrowse();
  return true;
}
