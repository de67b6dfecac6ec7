#include "library/library.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string_view>
#include <vector>

#include "library/collation.h"
#include "library/schema.h"
#include "library/statements.h"
#include "platform/app_directory.h"
#include "platform/log.h"
#include "platform/message_box.h"
#include "platform/text.h"

namespace {

// Cached prepared statements; the catalogue has a few dozen texts, so this stays small.
constexpr size_t kStatementCacheMax = 128;
constexpr int kBusyTimeoutMs = 5000;

// Page cache of the connection, in KiB. Browsing jumps through large containers and wants
// the indexes of a big library in memory. A scan lowers the cache while it runs and leaves
// it low (the counts after a scan read every page once and need no cache); the next
// browse gives it back.
constexpr int kPageCacheKiB = 32 * 1024;
// The compacting copy at close reads every page once; it needs no cache, and the copy is
// written with the same size of cache.
constexpr int kCompactPageCacheKiB = 512;

constexpr const char* kStoredOrder = " order by rowid";

// Counts of distinct queries kept between writes (a listing counts each container in it).
constexpr size_t kCountsRemembered = 64;

// A jump to this row or further into a plain listing is read by row number: below it,
// walking the rows before the page costs less than ordering the whole listing once.
constexpr int kJumpByRowNumberFrom = 4096;

// A page read into a vector reserves room for this many rows at most up front: a wanted
// count may be "everything".
constexpr int kPageReserveMax = 256;

// Listings read by row number start with this; their rows are whole records.
constexpr std::string_view kPlainListing = "select * from FSE_QueryState where ";

struct StatementDeleter {
  void operator()(sqlite3_stmt* s) const { sqlite3_finalize(s); }
};
using StatementPtr = std::unique_ptr<sqlite3_stmt, StatementDeleter>;

// Which record field a result column fills.
enum class Field {
  kNone,
  kMyIndex,
  kPIndex,
  kFlags,
  kObjectType,
  kProcessObjectType,
  kFilePathLen,
  kFilePath,
  kFileNameLen,
  kFileName,
  kIsSearchable,
  kProcessIndex,
  kProcessUpdateID,
  kAlbum,
  kTitle,
  kAuthor,
  kGenre,
  kTrackNo,
  kYear,
  kDuration,
  kBitrate,
  kFileSize,
  kFileType,
  kInternetFlags,
  kCDCover,
  kSubtitle,
  kAlbumArt,
};

// The persistent paged read: a statement positioned somewhere in the query's rows.
struct BrowseCursor {
  Sql query;
  bool haveQuery = false;
  bool stale = true;
  const char* order = nullptr;  // the order clause the statement reads in
  StatementPtr statement;
  std::vector<Field> fields;  // what each of the statement's columns fills
  int position = -1;          // the row the next step returns; -1 when not positioned
};

// A count of a query's rows, kept while nothing was written: TVs ask for the total of the
// same large container with every page, and counting a million rows takes tens of
// milliseconds.
struct KnownCount {
  Sql query;
  int count = 0;
};

// What says the file is unchanged since a count was taken: this connection's writes (every
// write path notes them, and SQLite's own change total besides) and, through data_version,
// any other connection's commits.
struct WriteMark {
  uint64_t writes = 0;
  sqlite3_int64 totalChanges = -1;
  sqlite3_int64 dataVersion = -1;
  bool operator==(const WriteMark&) const = default;
};

// The row numbers of a long listing in its order, kept while nothing is written: a jump deep
// into a container of a million items then reads its page by row number instead of having
// SQLite walk every row before it.
struct RowOrder {
  Sql query;
  const char* order = nullptr;
  WriteMark mark;
  std::vector<sqlite3_int64> rowids;
};

struct LibraryState {
  sqlite3* db = nullptr;
  std::string path;
  std::map<std::string, StatementPtr> statements;
  BrowseCursor browse;
  uint64_t writes = 0;
  WriteMark countsMark;
  std::vector<KnownCount> counts;
  RowOrder rowOrder;
  int transactionDepth = 0;
  // What the change triggers reported since the last commit or rollback.
  bool changed = false;
  bool changeOverflow = false;
  std::set<int32_t> changedContainers;
};

std::recursive_mutex g_dbMutex;
LibraryState g_lib;
// The stored change counter; written under g_dbMutex, read by anyone.
std::atomic<uint32_t> g_systemUpdateId{0};
// Taken inside g_dbMutex to call the listener, alone to replace it, so that removing it
// never waits for a batch of writes.
std::mutex g_listenerMutex;
LibraryChangeListener g_listener;
thread_local std::vector<MediaRecord> g_selectResults;
RenameFunction g_rename = ::rename;

// Shows a failed query the way the recordset layer reported it, then the operation's own
// message.
void ReportQueryFailure(const Sql& query, const char* operationMessage) {
  int code = g_lib.db ? sqlite3_extended_errcode(g_lib.db) : SQLITE_MISUSE;
  const char* description = g_lib.db ? sqlite3_errmsg(g_lib.db) : "library not open";
  char text[2048];
  std::snprintf(text, sizeof text,
                "CADORecordset Error\n\tCode = %08lx\n\tCode meaning = %s\n\tSource = %s\n"
                "\tDescription = %s\nQuery = %s\n",
                static_cast<unsigned long>(code), sqlite3_errstr(code), "SQLite", description,
                query.text.c_str());
  platform::Log(text);
  if (operationMessage != nullptr) platform::MessageBox("Error", operationMessage);
}

void ResetBrowseLocked() {
  g_lib.browse.statement.reset();
  g_lib.browse.position = -1;
  g_lib.browse.stale = true;
}

// Every path that writes, or may have written, calls this: the paged read starts again and
// no count taken before is trusted.
void NoteWriteLocked() {
  ResetBrowseLocked();
  ++g_lib.writes;
}

// Prepares (or takes from the cache) the statement for `text`, reset and unbound.
sqlite3_stmt* PrepareLocked(const std::string& text) {
  auto it = g_lib.statements.find(text);
  if (it != g_lib.statements.end()) {
    sqlite3_reset(it->second.get());
    sqlite3_clear_bindings(it->second.get());
    return it->second.get();
  }
  sqlite3_stmt* raw = nullptr;
  if (sqlite3_prepare_v3(g_lib.db, text.c_str(), static_cast<int>(text.size()),
                         SQLITE_PREPARE_PERSISTENT, &raw, nullptr) != SQLITE_OK) {
    sqlite3_finalize(raw);
    return nullptr;
  }
  if (g_lib.statements.size() >= kStatementCacheMax) g_lib.statements.clear();
  g_lib.statements.emplace(text, StatementPtr(raw));
  return raw;
}

bool BindLocked(sqlite3_stmt* stmt, const std::vector<SqlValue>& values, int firstIndex = 1) {
  int index = firstIndex;
  for (const SqlValue& value : values) {
    int rc;
    if (const int64_t* n = std::get_if<int64_t>(&value)) {
      rc = sqlite3_bind_int64(stmt, index, *n);
    } else {
      const std::string& s = std::get<std::string>(value);
      rc = sqlite3_bind_text(stmt, index, s.data(), static_cast<int>(s.size()), SQLITE_TRANSIENT);
    }
    if (rc != SQLITE_OK) return false;
    ++index;
  }
  return true;
}

// A query statement in use: prepared, bound, and reset when the use ends so that it
// holds no read transaction open.
class QueryUse {
 public:
  QueryUse(const Sql& query, const std::string& suffix = "") {
    if (g_lib.db == nullptr) return;
    stmt_ = PrepareLocked(query.text + suffix);
    if (stmt_ != nullptr && !BindLocked(stmt_, query.values)) stmt_ = nullptr;
  }
  ~QueryUse() {
    if (stmt_ != nullptr) {
      sqlite3_reset(stmt_);
      sqlite3_clear_bindings(stmt_);
    }
  }
  QueryUse(const QueryUse&) = delete;
  QueryUse& operator=(const QueryUse&) = delete;

  sqlite3_stmt* get() const { return stmt_; }
  // SQLITE_ROW, SQLITE_DONE or an error.
  int Step() { return sqlite3_step(stmt_); }

 private:
  sqlite3_stmt* stmt_ = nullptr;
};

// The columns that fill record fields, by lower-case name.
constexpr std::pair<std::string_view, Field> kFields[] = {
    {"myindex", Field::kMyIndex},
    {"pindex", Field::kPIndex},
    {"flags", Field::kFlags},
    {"objecttype", Field::kObjectType},
    {"processobjecttype", Field::kProcessObjectType},
    {"filepathlen", Field::kFilePathLen},
    {"filepath", Field::kFilePath},
    {"filenamelen", Field::kFileNameLen},
    {"filename", Field::kFileName},
    {"issearchable", Field::kIsSearchable},
    {"processindex", Field::kProcessIndex},
    {"processupdateid", Field::kProcessUpdateID},
    {"album", Field::kAlbum},
    {"title", Field::kTitle},
    {"author", Field::kAuthor},
    {"genre", Field::kGenre},
    {"trackno", Field::kTrackNo},
    {"year", Field::kYear},
    {"duration", Field::kDuration},
    {"bitrate", Field::kBitrate},
    {"filesize", Field::kFileSize},
    {"filetype", Field::kFileType},
    {"internetflags", Field::kInternetFlags},
    {"cdcover", Field::kCDCover},
    {"subtitle", Field::kSubtitle},
    {"albumart", Field::kAlbumArt},
};

// Column names are short ASCII words: they are matched without building a string.
Field FieldOfColumn(const char* name) {
  if (name == nullptr) return Field::kNone;
  char lower[24];
  size_t n = 0;
  for (; name[n] != '\0'; ++n) {
    if (n == sizeof lower) return Field::kNone;  // longer than any known column
    char c = name[n];
    lower[n] = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
  }
  std::string_view key(lower, n);
  for (const auto& [column, field] : kFields) {
    if (column == key) return field;
  }
  return Field::kNone;
}

// A plain listing reads only the columns that fill record fields: the sort keys and the
// other columns no field takes cost a column read each per row.
std::string RecordColumnsOnly(const std::string& text) {
  if (!text.starts_with(kPlainListing)) return text;
  static const std::string kSelect = [] {
    std::string select = "select ";
    for (const auto& [column, field] : kFields) {
      if (select.size() > 7) select += ", ";
      select += column;
    }
    return select + " from FSE_QueryState where ";
  }();
  return kSelect + text.substr(kPlainListing.size());
}

std::vector<Field> ColumnFields(sqlite3_stmt* stmt) {
  int n = sqlite3_column_count(stmt);
  std::vector<Field> fields(static_cast<size_t>(n));
  for (int i = 0; i < n; ++i)
    fields[static_cast<size_t>(i)] = FieldOfColumn(sqlite3_column_name(stmt, i));
  return fields;
}

// Copies column `i` into *out, reusing its buffer.
void AssignColumnText(sqlite3_stmt* stmt, int i, size_t fieldSize, std::string* out) {
  const char* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt, i));
  if (text == nullptr) {
    out->clear();
    return;
  }
  size_t size = static_cast<size_t>(sqlite3_column_bytes(stmt, i));
  out->assign(text, platform::Utf8CappedLength(std::string_view(text, size), fieldSize));
}

std::string ColumnText(sqlite3_stmt* stmt, int i, size_t fieldSize) {
  std::string value;
  AssignColumnText(stmt, i, fieldSize, &value);
  return value;
}

// "\<myIndex>\<fileName>" into *name, capped like the record field.
void SetVirtualName(int32_t myIndex, const std::string& fileName, std::string* name) {
  char digits[16];
  char* end = std::to_chars(digits, digits + sizeof digits, myIndex).ptr;
  name->clear();
  name->reserve(2 + static_cast<size_t>(end - digits) + fileName.size());
  name->push_back('\\');
  name->append(digits, end);
  name->push_back('\\');
  name->append(fileName);
  platform::Utf8CapInPlace(*name, kRecordPathField);
}

// The copy rule: every column by name into the record, texts cut to their fields. *r
// must hold the defaults of a new record (CopyRow resets it first).
void CopyFreshRow(sqlite3_stmt* stmt, const std::vector<Field>& fields, MediaRecord* r) {
  for (size_t c = 0; c < fields.size(); ++c) {
    int i = static_cast<int>(c);
    auto i32 = [&] { return static_cast<int32_t>(sqlite3_column_int64(stmt, i)); };
    switch (fields[c]) {
      case Field::kNone:
        break;
      case Field::kMyIndex:
        r->MyIndex = i32();
        break;
      case Field::kPIndex:
        r->pIndex = i32();
        break;
      case Field::kFlags:
        r->Flags = i32();
        break;
      case Field::kObjectType:
        r->ObjectType = i32();
        break;
      case Field::kProcessObjectType:
        r->ProcessObjectType = i32();
        break;
      case Field::kFilePathLen:
        r->FilePathLen = i32();
        break;
      case Field::kFilePath:
        AssignColumnText(stmt, i, kRecordPathField, &r->FilePath);
        break;
      case Field::kFileNameLen:
        r->FileNameLen = i32();
        break;
      case Field::kFileName:
        AssignColumnText(stmt, i, kRecordPathField, &r->FileName);
        break;
      case Field::kIsSearchable:
        r->isSearchable = i32();
        break;
      case Field::kProcessIndex:
        r->ProcessIndex = i32();
        break;
      case Field::kProcessUpdateID:
        r->ProcessUpdateID = i32();
        break;
      case Field::kAlbum:
        AssignColumnText(stmt, i, kRecordTagField, &r->Album);
        break;
      case Field::kTitle:
        AssignColumnText(stmt, i, kRecordTagField, &r->Title);
        break;
      case Field::kAuthor:
        AssignColumnText(stmt, i, kRecordTagField, &r->Author);
        break;
      case Field::kGenre:
        AssignColumnText(stmt, i, kRecordTagField, &r->Genre);
        break;
      case Field::kTrackNo:
        r->TrackNo = i32();
        break;
      case Field::kYear:
        r->Year = i32();
        break;
      case Field::kDuration:
        r->Duration = i32();
        break;
      case Field::kBitrate:
        r->Bitrate = i32();
        break;
      case Field::kFileSize:
        r->FileSize = sqlite3_column_int64(stmt, i);
        break;
      case Field::kFileType:
        AssignColumnText(stmt, i, kRecordFileTypeField, &r->FileType);
        break;
      case Field::kInternetFlags:
        r->InternetFlags = i32();
        break;
      case Field::kCDCover:
        AssignColumnText(stmt, i, kRecordPathField, &r->CDCover);
        break;
      case Field::kSubtitle:
        AssignColumnText(stmt, i, kRecordPathField, &r->Subtitle);
        break;
      case Field::kAlbumArt:
        AssignColumnText(stmt, i, kRecordPathField, &r->AlbumArt);
        break;
    }
  }
  SetVirtualName(r->MyIndex, r->FileName, &r->VirtualName);
  r->EnumLink = 0;
}

void CopyRow(sqlite3_stmt* stmt, const std::vector<Field>& fields, MediaRecord* r) {
  *r = MediaRecord{};
  CopyFreshRow(stmt, fields, r);
}

bool ExecScriptLocked(const char* script) {
  char* error = nullptr;
  if (sqlite3_exec(g_lib.db, script, nullptr, nullptr, &error) != SQLITE_OK) {
    platform::Logf("library: %s\n", error ? error : "statement failed");
    sqlite3_free(error);
    return false;
  }
  return true;
}

bool FileExists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

void SyncFile(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return;
  ::fsync(fd);
  ::close(fd);
}

std::string DirectoryOf(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

void SyncDirectory(const std::string& dir) {
  int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  ::fsync(fd);
  ::close(fd);
}

sqlite3* OpenConnection(const std::string& path, int flags) {
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(path.c_str(), &db, flags | SQLITE_OPEN_NOMUTEX, nullptr) != SQLITE_OK) {
    sqlite3_close(db);
    return nullptr;
  }
  sqlite3_extended_result_codes(db, 1);
  sqlite3_busy_timeout(db, kBusyTimeoutMs);
  RegisterNoCaseCollation(db);
  return db;
}

bool FillDefaultFilterRows(sqlite3* db) {
  const std::pair<const char*, const std::vector<std::string_view>*> rows[] = {
      {"VideoFilter", &kDefaultVideoExtensions},
      {"AudioFilter", &kDefaultAudioExtensions},
      {"ImageFilter", &kDefaultImageExtensions},
      {"PlaylistFilter", &kDefaultPlaylistExtensions},
  };
  sqlite3_stmt* raw = nullptr;
  const char* text = "update AVP set my_value = ? where my_attribute = ?";
  if (sqlite3_prepare_v2(db, text, -1, &raw, nullptr) != SQLITE_OK) return false;
  StatementPtr stmt(raw);
  for (const auto& [key, list] : rows) {
    std::string value = JoinExtensions(*list);
    sqlite3_bind_text(raw, 1, value.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(raw, 2, key, -1, SQLITE_STATIC);
    if (sqlite3_step(raw) != SQLITE_DONE) return false;
    sqlite3_reset(raw);
  }
  return true;
}

// Writes the shipped library to `path`: built beside it under a temporary name and
// renamed into place, so a crash never leaves a half-made library under the real name.
bool CreateLibraryFile(const std::string& path) {
  std::string building = path + ".new";
  ::unlink(building.c_str());
  sqlite3* db = OpenConnection(building, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
  if (db == nullptr) return false;
  std::string script = std::string("begin;") + kLibrarySchema + kLibraryIndexes;
  char* error = nullptr;
  bool ok = sqlite3_exec(db, script.c_str(), nullptr, nullptr, &error) == SQLITE_OK &&
            FillDefaultFilterRows(db) &&
            sqlite3_exec(db, "commit;", nullptr, nullptr, &error) == SQLITE_OK;
  if (!ok) platform::Logf("library: cannot create %s: %s\n", path.c_str(), error ? error : "");
  sqlite3_free(error);
  sqlite3_close(db);
  if (!ok || ::rename(building.c_str(), path.c_str()) != 0) {
    ::unlink(building.c_str());
    return false;
  }
  SyncDirectory(DirectoryOf(path));
  return true;
}

// A library is a database with the three tables; anything else is refused.
bool LooksLikeLibrary(sqlite3* db) {
  sqlite3_stmt* raw = nullptr;
  const char* text =
      "select count(*) from sqlite_master where type = 'table' and "
      "name in ('FSE_QueryState', 'Shared_Folder', 'AVP')";
  if (sqlite3_prepare_v2(db, text, -1, &raw, nullptr) != SQLITE_OK) return false;
  StatementPtr stmt(raw);
  return sqlite3_step(raw) == SQLITE_ROW && sqlite3_column_int(raw, 0) == 3;
}

// What the check at open finds in a file.
enum class FileState { kSound, kDamaged, kUnreadable };

// Checks the structure of every page (quick_check: the b-trees and their records, without
// comparing each index with its table, which on a large library would cost far more than
// the rest of start-up). A file that is not a database at all, or cannot be read now, is
// not called damaged: it may be something else, or fine tomorrow, and is never moved.
FileState CheckFile(sqlite3* db) {
  sqlite3_stmt* raw = nullptr;
  int rc = sqlite3_prepare_v2(db, "pragma quick_check", -1, &raw, nullptr);
  StatementPtr stmt(raw);
  bool sound = false;
  if (rc == SQLITE_OK) {
    int rows = 0;
    while ((rc = sqlite3_step(raw)) == SQLITE_ROW) {
      const unsigned char* text = sqlite3_column_text(raw, 0);
      sound = ++rows == 1 && text != nullptr &&
              std::strcmp(reinterpret_cast<const char*>(text), "ok") == 0;
    }
  }
  if (rc == SQLITE_DONE) return sound ? FileState::kSound : FileState::kDamaged;
  return (rc & 0xFF) == SQLITE_CORRUPT ? FileState::kDamaged : FileState::kUnreadable;
}

// A name beside the library for a damaged copy, "<library>.damaged-<local time>", with a
// number added when a copy of that second exists already.
std::string DamagedCopyName(const std::string& libraryPath) {
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &local);
  std::string base = libraryPath + ".damaged-" + stamp;
  std::string name = base;
  for (int n = 2; FileExists(name); ++n) name = base + "-" + std::to_string(n);
  return name;
}

// Closes the connection on a damaged library without writing to the file, and moves the
// file (with its log, under the name SQLite looks for beside it) out of the way. Returns
// the new name, or empty when the file could not be moved.
std::string SetDamagedFileAside(sqlite3* db, const std::string& libraryPath) {
  sqlite3_db_config(db, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
  sqlite3_close(db);
  std::string aside = DamagedCopyName(libraryPath);
  if (::rename(libraryPath.c_str(), aside.c_str()) != 0) {
    platform::Logf("library: cannot move the damaged %s aside: %s\n", libraryPath.c_str(),
                   std::strerror(errno));
    return {};
  }
  ::rename((libraryPath + "-wal").c_str(), (aside + "-wal").c_str());
  ::unlink((libraryPath + "-shm").c_str());
  SyncDirectory(DirectoryOf(libraryPath));
  return aside;
}

bool HasColumnLocked(const char* table, const char* column) {
  sqlite3_stmt* raw = nullptr;
  const char* text = "select count(*) from pragma_table_info(?) where name = ? collate nocase";
  if (sqlite3_prepare_v2(g_lib.db, text, -1, &raw, nullptr) != SQLITE_OK) return false;
  StatementPtr stmt(raw);
  sqlite3_bind_text(raw, 1, table, -1, SQLITE_STATIC);
  sqlite3_bind_text(raw, 2, column, -1, SQLITE_STATIC);
  return sqlite3_step(raw) == SQLITE_ROW && sqlite3_column_int(raw, 0) > 0;
}

// The indexes that sort through the program's own collation.
std::vector<std::string> CollatedIndexesLocked() {
  std::vector<std::string> names;
  sqlite3_stmt* raw = nullptr;
  const char* text =
      "select name from sqlite_master where type = 'index' and sql like '%' || ? || '%'";
  if (sqlite3_prepare_v2(g_lib.db, text, -1, &raw, nullptr) != SQLITE_OK) return names;
  StatementPtr stmt(raw);
  sqlite3_bind_text(raw, 1, kProgramCollation, -1, SQLITE_STATIC);
  while (sqlite3_step(raw) == SQLITE_ROW) {
    names.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(raw, 0)));
  }
  return names;
}

std::string QuotedName(const std::string& name) {
  std::string quoted = "\"";
  for (char c : name) {
    quoted += c;
    if (c == '"') quoted += c;
  }
  return quoted + "\"";
}

// Brings a library written by an earlier version up to date, all in one transaction: the
// sort key columns are added and filled, and indexes that need the program's collation
// are replaced, so the file opens in any SQLite tool from then on; the tag year,
// subtitle and album art columns are added (their items learn them when they are scanned again).
// Then makes sure the indexes exist.
bool UpgradeLibraryLocked() {
  bool haveKeys = HasColumnLocked("FSE_QueryState", "FileNameSortKey");
  bool haveYear = HasColumnLocked("FSE_QueryState", "Year");
  bool haveSubtitle = HasColumnLocked("FSE_QueryState", "Subtitle");
  bool haveAlbumArt = HasColumnLocked("FSE_QueryState", "AlbumArt");
  std::vector<std::string> collated = CollatedIndexesLocked();
  bool resort = !haveKeys || !collated.empty();
  if (!resort && haveYear && haveSubtitle && haveAlbumArt) return ExecScriptLocked(kLibraryIndexes);
  if (!ExecScriptLocked("begin immediate;")) return false;
  bool ok = true;
  for (const std::string& name : collated) {
    ok = ok && ExecScriptLocked(("drop index " + QuotedName(name) + ";").c_str());
  }
  if (ok && !haveKeys) ok = ExecScriptLocked(kAddSortKeyColumns);
  if (ok && !haveYear) ok = ExecScriptLocked(kAddYearColumn);
  if (ok && !haveSubtitle) ok = ExecScriptLocked(kAddSubtitleColumn);
  if (ok && !haveAlbumArt) ok = ExecScriptLocked(kAddAlbumArtColumn);
  if (ok && resort) ok = ExecScriptLocked(kFillSortKeys);
  ok = ok && ExecScriptLocked(kLibraryIndexes) && ExecScriptLocked("commit;");
  if (!ok) {
    ExecScriptLocked("rollback;");
    return false;
  }
  platform::Logf("library: %s converted to this version's columns\n", g_lib.path.c_str());
  return true;
}

// Called by the change triggers for every object row inserted, deleted or updated, with
// the row's parent. Runs inside the statement, under g_dbMutex.
void NoteChangeFunction(sqlite3_context* context, int, sqlite3_value** argv) {
  g_lib.changed = true;
  if (!g_lib.changeOverflow && sqlite3_value_type(argv[0]) == SQLITE_INTEGER) {
    int64_t parent = sqlite3_value_int64(argv[0]);
    if (parent >= 0 && parent <= INT32_MAX)
      g_lib.changedContainers.insert(static_cast<int32_t>(parent));
    if (g_lib.changedContainers.size() > kChangedContainersMax) {
      g_lib.changeOverflow = true;
      g_lib.changedContainers.clear();
    }
  }
  sqlite3_result_null(context);
}

void ForgetChangesLocked() {
  g_lib.changed = false;
  g_lib.changeOverflow = false;
  g_lib.changedContainers.clear();
}

// Gives a library of an earlier version the settings rows it lacks, installs the change
// triggers on the connection and reads the stored counter.
bool PrepareChangeCountingLocked() {
  sqlite3_stmt* raw = nullptr;
  bool complete = false;
  if (sqlite3_prepare_v2(g_lib.db, kCountAddedSettingsRows, -1, &raw, nullptr) == SQLITE_OK) {
    StatementPtr stmt(raw);
    complete = sqlite3_step(raw) == SQLITE_ROW && sqlite3_column_int(raw, 0) == kAddedSettingsRows;
  }
  if (!complete && !ExecScriptLocked(kAddMissingSettingsRows)) return false;
  if (sqlite3_create_function_v2(g_lib.db, "orvex_note_change", 1, SQLITE_UTF8, nullptr,
                                 NoteChangeFunction, nullptr, nullptr, nullptr) != SQLITE_OK ||
      !ExecScriptLocked(kChangeTriggers)) {
    return false;
  }
  ForgetChangesLocked();
  uint32_t stored = 0;
  QueryUse use(
      Sql{"select my_value from AVP where my_attribute = ?", {std::string(kSystemUpdateIdKey)}});
  if (use.get() != nullptr && use.Step() == SQLITE_ROW) {
    // A value that is not a number (edited by hand) counts as 0, as a missing one does.
    const unsigned char* text = sqlite3_column_text(use.get(), 0);
    uint64_t value = 0;
    for (const unsigned char* c = text; c != nullptr && *c >= '0' && *c <= '9'; ++c) {
      value = value * 10 + static_cast<uint64_t>(*c - '0');
      if (value > UINT32_MAX) break;
    }
    stored = value > UINT32_MAX ? 0 : static_cast<uint32_t>(value);
  }
  g_systemUpdateId.store(stored, std::memory_order_release);
  return true;
}

// Stores the next counter value when this transaction changed objects. Inside it, so the
// counter and the change it counts are committed together.
bool StoreNextCounterLocked() {
  if (!g_lib.changed) return true;
  uint32_t next = g_systemUpdateId.load(std::memory_order_acquire) + 1;
  QueryUse use(Sql{"insert or replace into AVP (my_attribute, my_value) values (?, ?)",
                   {std::string(kSystemUpdateIdKey), std::to_string(next)}});
  return use.get() != nullptr && use.Step() == SQLITE_DONE;
}

bool ObjectExistsLocked(int32_t myIndex) {
  QueryUse use(Sql{"select 1 from FSE_QueryState where MyIndex = ?", {int64_t{myIndex}}});
  return use.get() != nullptr && use.Step() == SQLITE_ROW;
}

// After a commit that changed objects: the counter moves on and the listener hears of it.
void PublishChangesLocked() {
  if (!g_lib.changed) return;
  LibraryChange change;
  change.systemUpdateId = g_systemUpdateId.load(std::memory_order_acquire) + 1;
  g_systemUpdateId.store(change.systemUpdateId, std::memory_order_release);
  change.overflow = g_lib.changeOverflow;
  std::set<int32_t> containers = std::move(g_lib.changedContainers);
  ForgetChangesLocked();
  std::lock_guard listenerLock(g_listenerMutex);
  if (!g_listener) return;
  // A container deleted with its children is no longer there to be browsed again.
  for (int32_t id : containers) {
    if (ObjectExistsLocked(id)) change.containers.push_back(id);
  }
  g_listener(change);
}

void CloseConnectionLocked() {
  NoteWriteLocked();
  g_lib.browse.haveQuery = false;
  g_lib.statements.clear();
  if (g_lib.db != nullptr) sqlite3_close(g_lib.db);
  g_lib.db = nullptr;
}

std::string CacheSizePragma(int kib) { return "pragma cache_size = -" + std::to_string(kib) + ";"; }

// Gives the connection the full page cache when something has lowered it.
void RestorePageCacheLocked() {
  sqlite3_stmt* stmt =
      PrepareLocked("select cache_size, page_size from pragma_cache_size(), pragma_page_size()");
  if (stmt == nullptr) return;
  int64_t kib = kPageCacheKiB;
  if (sqlite3_step(stmt) == SQLITE_ROW) {
    int64_t setting = sqlite3_column_int64(stmt, 0);
    kib = setting < 0 ? -setting : setting * sqlite3_column_int64(stmt, 1) / 1024;
  }
  sqlite3_reset(stmt);
  if (kib < kPageCacheKiB) ExecScriptLocked(CacheSizePragma(kPageCacheKiB).c_str());
}

// Copies the library into temp.mdb with VACUUM INTO, closes it, and renames the copy over
// the library. VACUUM INTO refuses an existing destination, so an old copy left by an
// earlier failure is never overwritten and the library stays as it was.
void CloseAndCompactLocked() {
  const std::string libraryPath = g_lib.path;
  const std::string compactPath = DirectoryOf(libraryPath) + "/" + kCompactFileName;
  NoteWriteLocked();
  g_lib.statements.clear();
  bool compacted = false;
  {
    // The pages the session cached are not needed for the copy; freeing them first keeps
    // the copy's own memory from adding to theirs.
    sqlite3_exec(g_lib.db, CacheSizePragma(kCompactPageCacheKiB).c_str(), nullptr, nullptr,
                 nullptr);
    sqlite3_db_release_memory(g_lib.db);
    sqlite3_stmt* raw = nullptr;
    if (sqlite3_prepare_v2(g_lib.db, "vacuum into ?", -1, &raw, nullptr) == SQLITE_OK) {
      StatementPtr stmt(raw);
      sqlite3_bind_text(raw, 1, compactPath.c_str(), -1, SQLITE_TRANSIENT);
      compacted = sqlite3_step(raw) == SQLITE_DONE;
    }
    if (!compacted) {
      platform::Logf("library: compaction into %s failed: %s\n", compactPath.c_str(),
                     sqlite3_errmsg(g_lib.db));
    }
  }
  CloseConnectionLocked();
  if (!compacted) return;
  // A write-ahead log still present would belong to the old file; putting the copy in
  // place then would mix the two, so the copy waits for the next close.
  if (FileExists(libraryPath + "-wal")) {
    struct stat st {};
    if (::stat((libraryPath + "-wal").c_str(), &st) == 0 && st.st_size > 0) {
      platform::Logf("library: %s still has a log; keeping %s\n", libraryPath.c_str(),
                     compactPath.c_str());
      return;
    }
  }
  SyncFile(compactPath);
  if (g_rename(compactPath.c_str(), libraryPath.c_str()) != 0) {
    platform::Logf("library: cannot replace %s with the compacted copy\n", libraryPath.c_str());
    return;
  }
  SyncDirectory(DirectoryOf(libraryPath));
}

}  // namespace

std::string MakeVirtualName(int32_t myIndex, const std::string& fileName) {
  std::string name;
  SetVirtualName(myIndex, fileName, &name);
  return name;
}

namespace {

// The file `name` in the folder of the record's file, when `name` is a plain file name.
std::string SiblingPath(const MediaRecord& record, const std::string& name) {
  if (name.find_first_not_of(" \t") == std::string::npos || name == "." || name == ".." ||
      name.find('/') != std::string::npos)
    return {};
  size_t slash = record.FilePath.rfind('/');
  if (slash == std::string::npos) return {};
  return record.FilePath.substr(0, slash + 1) + name;
}

}  // namespace

std::string CoverPath(const MediaRecord& record) { return SiblingPath(record, record.CDCover); }

std::string SubtitlePath(const MediaRecord& record) { return SiblingPath(record, record.Subtitle); }

std::string AlbumArtPath(const MediaRecord& record) {
  const std::string& name = record.AlbumArt;
  if (name.empty() || name == "-" || name == "." || name == ".." ||
      name.find('/') != std::string::npos)
    return {};
  return platform::AppPath(std::string(kAlbumArtDirectory) + "/" + name);
}

int32_t Utf8CharCount(const std::string& text) {
  int32_t count = 0;
  for (unsigned char c : text) {
    if ((c & 0xC0) != 0x80) ++count;
  }
  return count;
}

int db_openAt(const std::string& libraryPath) {
  std::lock_guard lock(g_dbMutex);
  if (g_lib.db != nullptr) return 1;
  if (!FileExists(libraryPath) && !CreateLibraryFile(libraryPath)) return 0;
  sqlite3* db = OpenConnection(libraryPath, SQLITE_OPEN_READWRITE);
  if (db == nullptr) return 0;
  switch (CheckFile(db)) {
    case FileState::kSound:
      break;
    case FileState::kUnreadable:
      sqlite3_close(db);
      return 0;
    case FileState::kDamaged: {
      // Serving from a damaged file gives wrong answers or none; the file is kept for
      // whoever wants to recover it, and the program goes on with a new library.
      std::string aside = SetDamagedFileAside(db, libraryPath);
      if (aside.empty() || !CreateLibraryFile(libraryPath)) return 0;
      platform::MessageBox("Error", "The library file " + libraryPath +
                                        " is damaged. It was kept as " + aside +
                                        ", and a new library was made.");
      db = OpenConnection(libraryPath, SQLITE_OPEN_READWRITE);
      if (db == nullptr) return 0;
      break;
    }
  }
  g_lib.db = db;
  g_lib.path = libraryPath;
  // The log keeps the file whole when the process is killed mid-write; NORMAL sync
  // loses at most the last commits on power loss, never the file. The page cache holds
  // the indexes of a large library (kPageCacheKiB).
  if (!LooksLikeLibrary(db) || !ExecScriptLocked("pragma journal_mode = wal;") ||
      !ExecScriptLocked("pragma synchronous = normal;") ||
      !ExecScriptLocked(CacheSizePragma(kPageCacheKiB).c_str()) || !UpgradeLibraryLocked() ||
      !PrepareChangeCountingLocked()) {
    CloseConnectionLocked();
    return 0;
  }
  return 1;
}

int db_open() { return db_openAt(platform::AppPath(kLibraryFileName)); }

int db_openReadOnly() {
  std::lock_guard lock(g_dbMutex);
  if (g_lib.db != nullptr) return 1;
  std::string path = platform::AppPath(kLibraryFileName);
  if (!FileExists(path)) return 0;
  sqlite3* db = OpenConnection(path, SQLITE_OPEN_READONLY);
  if (db == nullptr) return 0;
  g_lib.db = db;
  g_lib.path = path;
  if (!LooksLikeLibrary(db)) {
    CloseConnectionLocked();
    return 0;
  }
  return 1;
}

void db_close(bool compact) {
  std::lock_guard lock(g_dbMutex);
  if (g_lib.db == nullptr) return;
  ForgetChangesLocked();
  if (compact) {
    CloseAndCompactLocked();
  } else {
    CloseConnectionLocked();
  }
  g_selectResults.clear();
  g_selectResults.shrink_to_fit();
}

int db_execute(const Sql& statement) {
  std::lock_guard lock(g_dbMutex);
  if (g_lib.db == nullptr) return 0;
  // A statement outside a batch is a batch of its own, so that what it changes and the
  // change counter are committed together.
  LibraryTransaction single;
  if (!single.Active()) return 0;
  NoteWriteLocked();
  {
    QueryUse use(statement);
    if (use.get() == nullptr) return 0;
    int rc;
    while ((rc = use.Step()) == SQLITE_ROW) {
    }
    if (rc != SQLITE_DONE) return 0;
  }
  return single.Commit() ? 1 : 0;
}

namespace {

WriteMark CurrentWriteMarkLocked() {
  WriteMark mark;
  mark.writes = g_lib.writes;
  mark.totalChanges = sqlite3_total_changes64(g_lib.db);
  QueryUse version(Sql{"pragma data_version", {}});
  if (version.get() != nullptr && version.Step() == SQLITE_ROW)
    mark.dataVersion = sqlite3_column_int64(version.get(), 0);
  return mark;
}

std::optional<LibraryVersion> VersionLocked() {
  if (g_lib.db == nullptr) return std::nullopt;
  WriteMark mark = CurrentWriteMarkLocked();
  if (mark.dataVersion < 0) return std::nullopt;
  return LibraryVersion{mark.writes, mark.totalChanges, mark.dataVersion};
}

}  // namespace

std::optional<LibraryVersion> db_version() {
  std::lock_guard lock(g_dbMutex);
  return VersionLocked();
}

std::optional<LibraryVersion> db_versionIfIdle() {
  std::unique_lock lock(g_dbMutex, std::try_to_lock);
  if (!lock.owns_lock()) return std::nullopt;
  return VersionLocked();
}

int db_getCount(const Sql& query) {
  std::lock_guard lock(g_dbMutex);
  if (g_lib.db == nullptr) return 0;
  WriteMark mark = CurrentWriteMarkLocked();
  if (!(mark == g_lib.countsMark) || mark.dataVersion < 0) {
    g_lib.counts.clear();
    g_lib.countsMark = mark;
  }
  for (const KnownCount& known : g_lib.counts) {
    if (known.query == query) return known.count;
  }
  Sql counted{"select count(*) from (" + query.text + ")", query.values};
  QueryUse use(counted);
  if (use.get() == nullptr || use.Step() != SQLITE_ROW) {
    ReportQueryFailure(query, "database not exists,db_getCount()");
    return 0;
  }
  int count = sqlite3_column_int(use.get(), 0);
  if (mark.dataVersion >= 0) {
    if (g_lib.counts.size() >= kCountsRemembered) g_lib.counts.erase(g_lib.counts.begin());
    g_lib.counts.push_back({query, count});
  }
  return count;
}

int db_getOneRecord(const Sql& query, MediaRecord* record) {
  std::lock_guard lock(g_dbMutex);
  QueryUse use(query);
  if (use.get() == nullptr) {
    ReportQueryFailure(query, "database no exists,db_getOneRecord()");
    return 0;
  }
  int n = 0;
  int rc;
  while ((rc = use.Step()) == SQLITE_ROW) {
    if (n == 0 && record != nullptr) CopyRow(use.get(), ColumnFields(use.get()), record);
    ++n;
  }
  if (rc != SQLITE_DONE) {
    ReportQueryFailure(query, "database no exists,db_getOneRecord()");
    return 0;
  }
  return n;
}

int db_getRecordAt(const Sql& query, MediaRecord* record, int row) {
  if (row < 0) return 0;
  std::lock_guard lock(g_dbMutex);
  Sql positioned = query;
  positioned.values.push_back(int64_t{row});
  QueryUse use(positioned, std::string(kSortedOrder) + " limit 1 offset ?");
  if (use.get() == nullptr) return 0;
  if (use.Step() != SQLITE_ROW) return 0;
  CopyRow(use.get(), ColumnFields(use.get()), record);
  return 1;
}

int db_selectT(const Sql& query) {
  std::lock_guard lock(g_dbMutex);
  if (g_lib.db == nullptr) return 0;
  QueryUse use(query, kSortedOrder);
  if (use.get() == nullptr) {
    ReportQueryFailure(query, "database no exists,db_selectT()");
    return 0;
  }
  std::vector<MediaRecord> rows;
  std::vector<Field> fields = ColumnFields(use.get());
  int rc;
  while ((rc = use.Step()) == SQLITE_ROW) {
    rows.emplace_back();
    CopyRow(use.get(), fields, &rows.back());
  }
  if (rc != SQLITE_DONE) {
    ReportQueryFailure(query, "database no exists,db_selectT()");
    return 0;
  }
  int n = static_cast<int>(rows.size());
  if (n > 0) g_selectResults = std::move(rows);
  return n;
}

const std::vector<MediaRecord>& db_selectResults() { return g_selectResults; }

namespace {

// The page of `query` in `order` from row `first`, read by row number; nothing when the
// row numbers cannot be read (the caller then walks to the page).
std::optional<int> PageByRowNumberLocked(const Sql& query, const char* order, int first, int wanted,
                                         const std::function<MediaRecord*()>& slot) {
  RowOrder& kept = g_lib.rowOrder;
  WriteMark mark = CurrentWriteMarkLocked();
  if (mark.dataVersion < 0) return std::nullopt;
  if (!(kept.mark == mark) || kept.order != order || !(kept.query == query)) {
    kept = RowOrder{};
    std::string text =
        "select rowid" + query.text.substr(std::string_view("select *").size()) + order;
    QueryUse use(Sql{text, query.values});
    if (use.get() == nullptr) return std::nullopt;
    int rc;
    while ((rc = use.Step()) == SQLITE_ROW)
      kept.rowids.push_back(sqlite3_column_int64(use.get(), 0));
    if (rc != SQLITE_DONE) {
      kept = RowOrder{};
      return std::nullopt;
    }
    kept.query = query;
    kept.order = order;
    kept.mark = mark;
  }
  sqlite3_stmt* row =
      PrepareLocked(RecordColumnsOnly("select * from FSE_QueryState where rowid = ?"));
  if (row == nullptr) return std::nullopt;
  std::vector<Field> fields = ColumnFields(row);
  int copied = 0;
  for (size_t i = static_cast<size_t>(first); i < kept.rowids.size() && copied < wanted; ++i) {
    sqlite3_reset(row);
    sqlite3_bind_int64(row, 1, kept.rowids[i]);
    if (sqlite3_step(row) != SQLITE_ROW) continue;
    CopyFreshRow(row, fields, slot());
    ++copied;
  }
  sqlite3_reset(row);
  return copied;
}

}  // namespace

int db_browsePage(const Sql& query, const std::function<MediaRecord*()>& slot, int first,
                  int wanted, int* total) {
  if (total != nullptr) *total = -1;
  if (first < 0 || wanted <= 0) return 0;
  std::lock_guard lock(g_dbMutex);
  if (g_lib.db == nullptr) return 0;
  RestorePageCacheLocked();
  BrowseCursor& cursor = g_lib.browse;
  if (cursor.stale || !cursor.haveQuery || !(cursor.query == query) || !cursor.statement) {
    ResetBrowseLocked();
    // Internet containers keep the order their items were stored in; the first row
    // tells which kind of container this is.
    bool internet = false;
    {
      QueryUse probe(query, " limit 1");
      if (probe.get() == nullptr) {
        ReportQueryFailure(query, "database no exists,db_selectT()");
        return 0;
      }
      if (probe.Step() == SQLITE_ROW) {
        std::vector<Field> fields = ColumnFields(probe.get());
        for (size_t c = 0; c < fields.size(); ++c) {
          if (fields[c] == Field::kInternetFlags)
            internet = sqlite3_column_int(probe.get(), static_cast<int>(c)) != 0;
        }
      }
    }
    std::string text = RecordColumnsOnly(query.text) + (internet ? kStoredOrder : kSortedOrder) +
                       " limit -1 offset ?";
    sqlite3_stmt* raw = nullptr;
    if (sqlite3_prepare_v3(g_lib.db, text.c_str(), -1, SQLITE_PREPARE_PERSISTENT, &raw, nullptr) !=
        SQLITE_OK) {
      sqlite3_finalize(raw);
      ReportQueryFailure(query, "database no exists,db_selectT()");
      return 0;
    }
    cursor.statement.reset(raw);
    cursor.fields = ColumnFields(raw);
    cursor.order = internet ? kStoredOrder : kSortedOrder;
    cursor.query = query;
    cursor.haveQuery = true;
    cursor.stale = false;
  }
  if (cursor.position != first && first >= kJumpByRowNumberFrom && total == nullptr &&
      query.text.starts_with(kPlainListing)) {
    if (std::optional<int> copied = PageByRowNumberLocked(query, cursor.order, first, wanted, slot))
      return *copied;
  }
  sqlite3_stmt* stmt = cursor.statement.get();
  if (cursor.position != first) {
    // Jumping: start again at the wanted row. Reading on from the last page needs no
    // restart, which is what keeps page-by-page browsing cheap.
    sqlite3_reset(stmt);
    if (!BindLocked(stmt, query.values)) return 0;
    sqlite3_bind_int64(stmt, static_cast<int>(query.values.size()) + 1, first);
    cursor.position = first;
  }
  int countColumn = -1;
  for (int c = 0; total != nullptr && c < sqlite3_column_count(stmt); ++c) {
    if (platform::AsciiEqualsNoCase(sqlite3_column_name(stmt, c), kMatchCountColumn))
      countColumn = c;
  }
  int copied = 0;
  while (copied < wanted) {
    int rc = sqlite3_step(stmt);
    if (rc != SQLITE_ROW) {
      // At the end (or on an error) the statement must be re-positioned next time.
      sqlite3_reset(stmt);
      cursor.position = -1;
      break;
    }
    if (copied == 0 && countColumn >= 0) {
      sqlite3_int64 count = sqlite3_column_int64(stmt, countColumn);
      *total = count < 0 ? -1 : count > INT_MAX ? INT_MAX : static_cast<int>(count);
    }
    CopyFreshRow(stmt, cursor.fields, slot());
    ++copied;
    ++cursor.position;
  }
  return copied;
}

int db_browsePage(const Sql& query, std::vector<MediaRecord>* out, int first, int wanted,
                  int* total) {
  out->clear();
  out->reserve(static_cast<size_t>(std::clamp(wanted, 0, kPageReserveMax)));
  return db_browsePage(
      query, [out] { return &out->emplace_back(); }, first, wanted, total);
}

void db_invalidateBrowse() {
  std::lock_guard lock(g_dbMutex);
  NoteWriteLocked();
}

void db_releaseMemory() {
  std::lock_guard lock(g_dbMutex);
  g_lib.rowOrder = RowOrder{};
  if (g_lib.db != nullptr) sqlite3_db_release_memory(g_lib.db);
}

void db_forgetBrowseQuery() {
  std::lock_guard lock(g_dbMutex);
  g_lib.browse.haveQuery = false;
  g_lib.browse.query = Sql{};
  ResetBrowseLocked();
}

int32_t db_getMaxIndex() {
  std::lock_guard lock(g_dbMutex);
  QueryUse use(Sql{"select max(MyIndex) from FSE_QueryState", {}});
  if (use.get() == nullptr || use.Step() != SQLITE_ROW) return 0;
  return static_cast<int32_t>(sqlite3_column_int64(use.get(), 0));
}

int db_getAVP(std::string_view key, std::string* value, bool* found) {
  value->clear();
  if (found != nullptr) *found = false;
  std::lock_guard lock(g_dbMutex);
  Sql query = sql::GetSetting(key);
  QueryUse use(query);
  if (use.get() == nullptr) {
    ReportQueryFailure(query, "database no exists, db_getAVP() error");
    return 0;
  }
  int rc = use.Step();
  if (rc == SQLITE_ROW) {
    int columns = sqlite3_column_count(use.get());
    for (int i = 0; i < columns; ++i) {
      if (platform::AsciiEqualsNoCase(sqlite3_column_name(use.get(), i), "my_value")) {
        *value = ColumnText(use.get(), i, kSettingValueMax + 1);
      }
    }
    if (found != nullptr) *found = true;
    return 1;
  }
  if (rc != SQLITE_DONE) {
    ReportQueryFailure(query, "database no exists, db_getAVP() error");
    return 0;
  }
  return 1;
}

void db_setAVP(std::string_view key, std::string_view value) {
  db_execute(sql::SetSetting(key, value));
}

uint32_t db_systemUpdateId() { return g_systemUpdateId.load(std::memory_order_acquire); }

void db_setChangeListener(LibraryChangeListener listener) {
  std::lock_guard lock(g_listenerMutex);
  g_listener = std::move(listener);
}

namespace {

bool ReadSharedFolders(const Sql& query, std::vector<SharedFolderRecord>* rows) {
  QueryUse use(query);
  if (use.get() == nullptr) return false;
  int rc;
  while ((rc = use.Step()) == SQLITE_ROW) {
    SharedFolderRecord r;
    int columns = sqlite3_column_count(use.get());
    for (int i = 0; i < columns; ++i) {
      const char* name = sqlite3_column_name(use.get(), i);
      if (platform::AsciiEqualsNoCase(name, "DirPath")) {
        r.DirPath = ColumnText(use.get(), i, kRecordPathField);
      } else if (platform::AsciiEqualsNoCase(name, "Flags")) {
        r.Flags = sqlite3_column_int(use.get(), i);
      } else if (platform::AsciiEqualsNoCase(name, "VolumeName")) {
        r.VolumeName = ColumnText(use.get(), i, kRecordPathField);
      }
    }
    rows->push_back(std::move(r));
  }
  return rc == SQLITE_DONE;
}

}  // namespace

int db_getSharedFolder(std::string_view dirPath, SharedFolderRecord* record) {
  std::lock_guard lock(g_dbMutex);
  std::vector<SharedFolderRecord> rows;
  if (!ReadSharedFolders(sql::SharedFolder(dirPath), &rows)) {
    platform::MessageBox("Error", "Database doesn't exist");
    return 0;
  }
  if (rows.empty()) return 0;
  *record = std::move(rows.front());
  return 1;
}

std::vector<SharedFolderRecord> db_listSharedFolders(bool* ok) {
  std::lock_guard lock(g_dbMutex);
  std::vector<SharedFolderRecord> rows;
  bool ran = ReadSharedFolders(sql::AllSharedFolders(), &rows);
  if (ok != nullptr) *ok = ran;
  if (!ran) {
    platform::MessageBox("Error", "Database doesn't exist");
    return {};
  }
  std::erase_if(rows, [](const SharedFolderRecord& r) { return r.DirPath.empty(); });
  return rows;
}

int db_countSharedFolders() {
  std::lock_guard lock(g_dbMutex);
  Sql query{"select count(*) from Shared_Folder", {}};
  QueryUse use(query);
  if (use.get() == nullptr || use.Step() != SQLITE_ROW) {
    platform::MessageBox("Error", "Database doesn't exist");
    return 0;
  }
  return sqlite3_column_int(use.get(), 0);
}

LibraryTransaction::LibraryTransaction() : lock_(g_dbMutex) {
  if (g_lib.db == nullptr) return;
  if (g_lib.transactionDepth == 0) {
    NoteWriteLocked();
    if (!ExecScriptLocked("begin immediate;")) return;
    outermost_ = true;
  }
  ++g_lib.transactionDepth;
  active_ = true;
}

LibraryTransaction::~LibraryTransaction() {
  if (!active_) return;
  // An inner batch cannot undo its part alone; the outermost batch decides for all.
  if (--g_lib.transactionDepth == 0 && outermost_ && g_lib.db != nullptr) {
    NoteWriteLocked();
    ExecScriptLocked("rollback;");
    ForgetChangesLocked();
  }
}

bool LibraryTransaction::Commit() {
  if (!active_) return false;
  active_ = false;
  if (--g_lib.transactionDepth > 0 || !outermost_) return true;
  NoteWriteLocked();
  if (StoreNextCounterLocked() && ExecScriptLocked("commit;")) {
    PublishChangesLocked();
    return true;
  }
  ExecScriptLocked("rollback;");
  ForgetChangesLocked();
  return false;
}

void db_setRenameForTest(RenameFunction rename) { g_rename = rename ? rename : ::rename; }
