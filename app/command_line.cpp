#include "app/command_line.h"

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <string_view>

#include "app/settings.h"
#include "platform/text.h"

namespace {

// Takes the value of an option given as "--opt VALUE" or "--opt=VALUE".
bool TakeValue(std::string_view option, std::string_view arg, int argc, const char* const* argv,
               int* i, std::string* value, std::string* error) {
  if (arg.size() > option.size() && arg[option.size()] == '=') {
    *value = std::string(arg.substr(option.size() + 1));
    return true;
  }
  if (*i + 1 >= argc) {
    *error = "option " + std::string(option) + " needs a value";
    return false;
  }
  *value = argv[++*i];
  return true;
}

// The absolute, resolved path of an existing directory; false with a message otherwise.
bool ExistingFolder(std::string_view option, const std::string& path, std::string* resolved,
                    std::string* error) {
  char buffer[PATH_MAX];
  if (path.empty() || ::realpath(path.c_str(), buffer) == nullptr) {
    *error = "option " + std::string(option) + ": folder " + path + " does not exist";
    return false;
  }
  struct stat st {};
  if (::stat(buffer, &st) != 0 || !S_ISDIR(st.st_mode)) {
    *error = "option " + std::string(option) + ": " + path + " is not a folder";
    return false;
  }
  *resolved = buffer;
  return true;
}

// A folder to stop sharing may be gone already; it is only made absolute.
std::string AbsolutePath(const std::string& path) {
  char buffer[PATH_MAX];
  if (::realpath(path.c_str(), buffer) != nullptr) return buffer;
  if (!path.empty() && path[0] == '/') return path;
  if (::getcwd(buffer, sizeof buffer) == nullptr) return path;
  return std::string(buffer) + "/" + path;
}

bool Is(std::string_view arg, std::string_view option) {
  return arg == option || (arg.size() > option.size() && arg.substr(0, option.size()) == option &&
                           arg[option.size()] == '=');
}

// What has been given for the stream of the last --add-stream or --remove-stream.
struct StreamParts {
  bool title = false;
  bool kind = false;
};

std::string StreamOption(const StreamCommand& stream) {
  return stream.action == StreamCommand::Action::kAdd ? "--add-stream" : "--remove-stream";
}

// --title and --kind belong to the stream option before them, once each.
bool TakeStreamPart(std::string_view option, std::string_view arg, int argc,
                    const char* const* argv, int* i, CommandLine* out,
                    std::vector<StreamParts>* parts, std::string* error) {
  std::string value;
  if (!TakeValue(option, arg, argc, argv, i, &value, error)) return false;
  if (out->streams.empty()) {
    *error = "option " + std::string(option) + " must follow --add-stream or --remove-stream";
    return false;
  }
  StreamCommand& stream = out->streams.back();
  bool& given = option == "--title" ? parts->back().title : parts->back().kind;
  if (given) {
    *error = "option " + std::string(option) + " is given twice for " + StreamOption(stream) + " " +
             stream.url;
    return false;
  }
  given = true;
  if (option == "--title") {
    stream.title = value;
  } else if (platform::AsciiEqualsNoCase(value, "audio")) {
    stream.type = InternetMediaType::kAudio;
  } else if (platform::AsciiEqualsNoCase(value, "video")) {
    stream.type = InternetMediaType::kVideo;
  } else {
    *error = "option --kind takes audio or video, not " + value;
    return false;
  }
  return true;
}

}  // namespace

bool ParseCommandLine(int argc, const char* const* argv, CommandLine* out, std::string* error) {
  std::vector<StreamParts> streamParts;
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    if (arg == "--headless") {
      out->headless = true;
    } else if (arg == "--help" || arg == "-h") {
      out->help = true;
    } else if (arg == "--version") {
      out->version = true;
    } else if (arg == "--print-udn") {
      out->printUdn = true;
    } else if (arg == "--status") {
      out->status = true;
    } else if (Is(arg, "--home")) {
      if (!TakeValue("--home", arg, argc, argv, &i, &out->home, error)) return false;
      if (out->home.empty()) {
        *error = "option --home needs a directory";
        return false;
      }
    } else if (Is(arg, "--name")) {
      if (!TakeValue("--name", arg, argc, argv, &i, &out->name, error)) return false;
      if (!IsValidServerName(out->name)) {
        *error = std::string(kInvalidServerNameTitle) + ": " + kInvalidServerNameMsg;
        return false;
      }
      out->nameGiven = true;
    } else if (arg == "--clear") {
      out->clear = true;
    } else if (arg == "--rescan") {
      out->rescan = true;
    } else if (arg == "--scan-only") {
      out->scanOnly = true;
    } else if (Is(arg, "--share") || Is(arg, "--refresh")) {
      std::string_view option = Is(arg, "--share") ? "--share" : "--refresh";
      std::string value, folder;
      if (!TakeValue(option, arg, argc, argv, &i, &value, error) ||
          !ExistingFolder(option, value, &folder, error)) {
        return false;
      }
      (option == "--share" ? out->share : out->refresh).push_back(folder);
    } else if (Is(arg, "--unshare")) {
      std::string value;
      if (!TakeValue("--unshare", arg, argc, argv, &i, &value, error)) return false;
      if (value.empty()) {
        *error = "option --unshare needs a folder";
        return false;
      }
      out->unshare.push_back(AbsolutePath(value));
    } else if (Is(arg, "--add-stream") || Is(arg, "--remove-stream")) {
      bool add = Is(arg, "--add-stream");
      std::string_view option = add ? "--add-stream" : "--remove-stream";
      StreamCommand stream;
      stream.action = add ? StreamCommand::Action::kAdd : StreamCommand::Action::kRemove;
      if (!TakeValue(option, arg, argc, argv, &i, &stream.url, error)) return false;
      if (stream.url.empty()) {
        *error = "option " + std::string(option) + " needs a URL";
        return false;
      }
      out->streams.push_back(stream);
      streamParts.emplace_back();
    } else if (Is(arg, "--title") || Is(arg, "--kind")) {
      std::string_view option = Is(arg, "--title") ? "--title" : "--kind";
      if (!TakeStreamPart(option, arg, argc, argv, &i, out, &streamParts, error)) return false;
    } else if (arg == "--list-streams") {
      out->listStreams = true;
    } else if (Is(arg, "--set")) {
      std::string value;
      if (!TakeValue("--set", arg, argc, argv, &i, &value, error)) return false;
      SettingChange change;
      if (!ParseSettingAssignment(value, &change, error)) return false;
      out->set.push_back(change);
    } else if (Is(arg, "--get")) {
      std::string value;
      if (!TakeValue("--get", arg, argc, argv, &i, &value, error)) return false;
      out->get.push_back(value);
    } else if (arg == "--settings") {
      out->listSettings = true;
    } else if (Is(arg, "--config")) {
      if (!TakeValue("--config", arg, argc, argv, &i, &out->config, error)) return false;
    } else {
      *error = "unknown option " + std::string(arg);
      return false;
    }
  }
  for (size_t k = 0; k < out->streams.size(); ++k) {
    if (!streamParts[k].kind) {
      *error = "option " + StreamOption(out->streams[k]) + " " + out->streams[k].url +
               " needs --kind audio or --kind video";
      return false;
    }
  }
  return true;
}

std::string CommandLineUsage() {
  return "Usage: mirelle [--home DIR] [--headless] [--name NAME] [--share DIR]...\n"
         "               [--unshare DIR]... [--refresh DIR]... [--rescan] [--clear]\n"
         "               [--scan-only] [--add-stream URL [--title T] --kind K]...\n"
         "               [--remove-stream URL [--title T] --kind K]... [--list-streams]\n"
         "               [--print-udn] [--status] [--set KEY=VALUE]... [--get KEY]...\n"
         "               [--settings] [--config FILE]\n"
         "               [--help] [--version]\n"
         "\n"
         "Shares the media of the folders you pick with the UPnP AV / DLNA devices of your\n"
         "home network.\n"
         "\n"
         "  --home DIR    program directory (library, cache, thumbnails); default\n"
         "                $MIRELLE_HOME, else $XDG_DATA_HOME/orvex (~/.local/share/orvex);\n"
         "                a build tree's own folder when run from there\n"
         "  --headless    run without the window, until interrupted (Ctrl+C or SIGTERM)\n"
         "  --name NAME   the name under which devices list the server\n"
         "  --share DIR   share a folder and scan it (may be given several times)\n"
         "  --unshare DIR stop sharing a folder and remove its media from the library\n"
         "  --refresh DIR scan a shared folder again\n"
         "  --rescan      rebuild the library from every shared folder\n"
         "  --clear       empty the library and forget every shared folder\n"
         "  --scan-only   make the library changes above, then exit\n"
         "  --add-stream URL [--title T] --kind audio|video\n"
         "                offer an internet stream to devices, titled T (default: the URL)\n"
         "  --remove-stream URL [--title T] --kind audio|video\n"
         "                stop offering a stream added with that URL, title and kind\n"
         "  --list-streams\n"
         "                print the internet streams: kind, title and URL, one a line\n"
         "  --print-udn   print the server's unique device name (the same at every start,\n"
         "                made on first use) and exit; works beside a running copy\n"
         "  --status      print the shared folders with their item counts, and whether the\n"
         "                server runs, with its ports, UDN and transfers; \"key: value\" lines\n"
         "  --set KEY=VALUE\n"
         "                change a setting (name, autostart, minimized, transcoding,\n"
         "                precache, quality, language, video-types, music-types,\n"
         "                picture-types, playlist-types); read at the next start\n"
         "  --get KEY     print a setting's value\n"
         "  --config FILE settings applied at every start, \"KEY = VALUE\" lines;\n"
         "                default /etc/orvex/orvex.conf when it exists\n"
         "  --settings    print every setting as KEY = VALUE\n"
         "  --help        this text\n"
         "  --version     the version\n";
}
