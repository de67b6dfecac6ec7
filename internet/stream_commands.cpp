#include "internet/stream_commands.h"

#include "internet/internet_limits.h"
#include "library/container_numbers.h"
#include "platform/text.h"

namespace {

const char* KindWord(InternetMediaType type) {
  return type == InternetMediaType::kAudio ? "audio" : "video";
}

// The exit status of a failed step, after its message.
int Report(std::FILE* err, InternetItemStatus status, const StreamCommand& c) {
  switch (status) {
    case InternetItemStatus::kEmptyUrl:
      std::fprintf(err, "mirelle: a stream needs a URL\n");
      return 2;
    case InternetItemStatus::kBadText:
      std::fprintf(err,
                   "mirelle: stream %s: the URL and title must be UTF-8 text, the URL at most "
                   "779 bytes without control characters\n",
                   c.url.c_str());
      return 2;
    case InternetItemStatus::kNotFound:
      std::fprintf(err, "mirelle: no %s stream %s titled \"%s\"\n", KindWord(c.type), c.url.c_str(),
                   (c.title.empty() ? c.url : c.title).c_str());
      return 2;
    case InternetItemStatus::kScanRunning:
      std::fprintf(err, "mirelle: a folder scan is running; streams were not changed\n");
      return 1;
    default:
      std::fprintf(err, "mirelle: the library refused the change of stream %s\n", c.url.c_str());
      return 1;
  }
}

int Add(const StreamCommand& c, std::FILE* out, std::FILE* err) {
  InternetItem stored;
  InternetItemStatus status = InternetItemAdd(c.url, c.title, c.type, &stored);
  if (status == InternetItemStatus::kDuplicate) {
    std::fprintf(out, "The %s stream %s titled \"%s\" is listed already.\n", KindWord(c.type),
                 c.url.c_str(), (c.title.empty() ? c.url : c.title).c_str());
    return 0;
  }
  if (status != InternetItemStatus::kDone) return Report(err, status, c);
  std::fprintf(out, "Added the %s stream %s titled \"%s\".\n", KindWord(c.type), stored.url.c_str(),
               stored.title.c_str());
  return 0;
}

int Remove(const StreamCommand& c, std::FILE* out, std::FILE* err) {
  // The title is matched as the add stored it: cut to the record's field.
  InternetItem row{c.url,
                   platform::Utf8Cap(c.title.empty() ? c.url : c.title, kInternetTitleMaxBytes + 1),
                   c.type};
  if (InternetItemDelete({row}) != 1) return Report(err, InternetItemStatus::kNotFound, c);
  std::fprintf(out, "Removed the %s stream %s titled \"%s\".\n", KindWord(c.type), row.url.c_str(),
               row.title.c_str());
  return 0;
}

void List(std::FILE* out) {
  int listed = 0;
  for (InternetMediaType type : {InternetMediaType::kVideo, InternetMediaType::kAudio}) {
    for (const InternetItem& item : InternetItemList(type)) {
      // The YouTube videos the video listing also covers are the feeds', not the user's.
      if (item.container != kContainerInternetVideos && item.container != kContainerInternetAudio) {
        continue;
      }
      std::fprintf(out, "%s\t%s\t%s\n", KindWord(type), item.title.c_str(), item.url.c_str());
      ++listed;
    }
  }
  if (listed == 0) std::fprintf(out, "No internet streams are listed.\n");
}

}  // namespace

int Internet_RunStreamCommands(const std::vector<StreamCommand>& commands, bool list,
                               std::FILE* out, std::FILE* err) {
  for (const StreamCommand& c : commands) {
    int status = c.action == StreamCommand::Action::kAdd ? Add(c, out, err) : Remove(c, out, err);
    if (status != 0) return status;
  }
  if (list) List(out);
  return 0;
}
