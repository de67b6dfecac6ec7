#include "gui/texts.h"

#include "gui/language.h"
#include "platform/text.h"

const std::vector<BuiltInText>& WindowTexts() {
  static const std::vector<BuiltInText> kTexts = {
      // Tabs.
      {"ImportPageCaption", "Shared Folders"},
      {"System", "System"},
      {"Options", "Options"},
      {"InternetMedia", "Internet Media"},
      // Tray menu and the service bar.
      {"About", "About"},
      {"Maxmize", "Show Window"},
      {"Exit", "Exit"},
      {"StartService", "Start Service"},
      {"StopService", "Stop Service"},
      {"ServiceRunning", "The media server is running."},
      {"ServiceStopped", "The media server is stopped."},
      {"AboutText",
       "Orvex Media Server shares the music, videos and pictures of your folders with the "
       "players on your home network."},
      // Shared folders.
      {"SharedFolders", "Shared folders"},
      {"AddFolder", "Add Folder"},
      {"PickDirectory", "Pick a Directory"},
      {"WantStopSeriveMsg", "Do you want to stop service for adding these directories ?"},
      {"RefreshFolder", "Refresh Folder"},
      {"DeleteFolder", "Delete Folder"},
      {"DeleteAll", "Delete All"},
      {"RescanAll", "Rescan All"},
      {"ClearDatabase", "Clear Database"},
      {"ClearDatabaseMsg", "Do you really want to clear database ?"},
      {"ScanProgress", "Scan progress"},
      {"TotalFiles", "Total files"},
      {"VideoFiles", "Videos"},
      {"AudioFiles", "Music"},
      {"ImageFiles", "Pictures"},
      {"PlaylistFiles", "Playlists"},
      {"DuplicateFiles", "Duplicates"},
      {"UnsupportedFiles", "Unsupported files"},
      {"ElapsedTime", "Elapsed time"},
      {"CurrentFile", "Reading"},
      {"Error", "Error"},
      {"CannotCreateScanThread", "Cannot create the scan thread"},
      {"EditMediaDetail", "Edit Media Details"},
      // System.
      {"ServerName", "Server Name"},
      {"Change", "Change"},
      {"ConnectionStatus", "Connection Status"},
      {"DMASetup", "DMA Setup"},
      {"ChangeServerNameCaption", "Change Server Name"},
      {"InvalidServerName", "Invalid Server Name"},
      {"InvalidServerNameMsg", "Server name cannot be empty string or contain \\/:*?\"<>|"},
      {"RestartAfterChangeServerName",
       "The media server restarts so that the players see the new name."},
      {"Filename", "Filename"},
      {"IP", "IP"},
      {"Progrsss", "Progress"},
      {"UrlPath", "Url Path"},
      // Options.
      {"EnableAutoRun", "Start when I log in"},
      {"MinimizedAtStartup", "Start minimized in the tray"},
      {"TranscodingEnable", "Convert media the players cannot play"},
      {"FileTypes", "Shared file types"},
      {"VideoFilter", "Video"},
      {"AudioFilter", "Music"},
      {"ImageFilter", "Pictures"},
      {"PlaylistFilter", "Playlists"},
      {"Language", "Language"},
      {"Chinese", "Chinese"},
      {"English", "English"},
      {"France", "French"},
      {"German", "German"},
      {"Italian", "Italian"},
      {"Japanese", "Japanese"},
      {"Spanish", "Spanish"},
      {"Russian", "Russian"},
      {"Hebrew", "Hebrew"},
      {"Apply", "Apply"},
      // Internet media.
      {"URL", "URL"},
      {"Title", "Title"},
      {"Mediatype", "Media Type"},
      {"Audio", "Audio"},
      {"Video", "Video"},
      {"Add", "Add"},
      {"MODIFY", "Modify"},
      {"Delete", "Delete"},
      {"InternetItemRefused", "This URL or title cannot be stored."},
      // Media information.
      {"MediaDetails", "Media Details"},
      {"Artist", "Artist"},
      {"Album", "Album"},
      {"Genre", "Genre"},
      {"CannotWriteTags", "The tags of this file cannot be written."},
      // Renderers.
      {"Renderers", "Media Players on the Network"},
      {"Refresh", "Refresh"},
      {"OK", "OK"},
      {"Cancel", "Cancel"},
  };
  return kTexts;
}

std::string Text(std::string_view key) {
  if (std::optional<std::string> text = LookUpText(key)) return *text;
  for (const BuiltInText& entry : WindowTexts()) {
    if (platform::AsciiEqualsNoCase(entry.key, key)) return entry.english;
  }
  return std::string(key);
}
