// The only road to the media library file. One SQLite connection lives from db_open to
// db_close; one recursive mutex serialises every statement (a thread that holds it may
// enter again, so a batch of writes can hold it across several calls).
//
// Operations keep their long-standing names and results; each takes a statement from the
// catalogue in statements.h, whose values are bound, never formatted into the text.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "library/media_record.h"
#include "library/sql.h"

// The library file's name in the program directory, and the name of the compacted copy.
inline constexpr const char* kLibraryFileName = "Orvex.mdb";
inline constexpr const char* kCompactFileName = "temp.mdb";
// Settings values are read back up to this many bytes.
inline constexpr size_t kSettingValueMax = 6167;

// Opens AppDirectory/Orvex.mdb. A missing file is first written from the built-in
// library (every table and settings row, "RunFirstTime" = "TRUE"). Returns 1 when the
// library is open, 0 when the file cannot be opened as the library.
int db_open();
// Same, for a library file at an explicit path (tests, tools).
int db_openAt(const std::string& libraryPath);
// Opens AppDirectory/Orvex.mdb only to read it, beside a copy that may be serving from
// it: a missing file is not made, nothing is checked, repaired or upgraded. 1 when open.
// Close it with db_close(false).
int db_openReadOnly();

// Closes the library and compacts the file through temp.mdb beside it. A failed step
// leaves the library file untouched. A program that may share the file with a running
// copy (a tool's one question) closes without compacting: the copy would be renamed over
// the file the other one has open.
void db_close(bool compact = true);

// Runs a statement that returns no rows. Nonzero when it ran. Any statement marks the
// paged browse stale, since it may have changed the rows it was reading.
int db_execute(const Sql& statement);

// The order of db_selectT, db_getRecordAt and the pages of a local container: containers
// first, then Album, then FileName, ignoring case (through the stored sort keys). It is
// appended to a query of the object table; for the children of one container the first
// index of the table holds the rows in this order, so no sort is needed.
inline constexpr const char* kSortedOrder =
    " order by ObjectType desc, AlbumSortKey, FileNameSortKey";

// Number of rows of a query; 0 on failure (with a message).
int db_getCount(const Sql& query);

// Number of rows of a query; the first row is copied into *record when there is one.
int db_getOneRecord(const Sql& query, MediaRecord* record);

// Copies row `row` (0-based) of the query sorted containers first, then by album and
// file name, when it exists. 1 when copied, else 0.
int db_getRecordAt(const Sql& query, MediaRecord* record, int row);

// Runs a query sorted containers first, then by album and file name, and copies the rows
// into the calling thread's result array. Returns the number of rows n; rows are elements
// 0 to n-1 of db_selectResults(). A query with no rows leaves the array as it was.
int db_selectT(const Sql& query);
const std::vector<MediaRecord>& db_selectResults();

// The paged read of a container's children. While the query is unchanged and nothing
// was written, consecutive pages continue where the last one ended, so reading a large
// container page by page never re-reads it. Local containers come sorted like
// db_selectT; internet containers (first row has InternetFlags != 0) keep stored order.
// Copies up to `wanted` rows starting at `first` into *out (replacing its contents) and
// returns the number copied. A query whose rows carry a kMatchCountColumn (the number of
// rows of the whole query, "count(*) over ()") reports it in *total, so that one run
// gives both a page and its total; *total is -1 when no row was read or the query has no
// such column.
int db_browsePage(const Sql& query, std::vector<MediaRecord>* out, int first, int wanted,
                  int* total = nullptr);
// The same read, copying each row into the record `slot` returns (a new, default one; it
// is called once per row, under the library's lock, so it must not call the library).
int db_browsePage(const Sql& query, const std::function<MediaRecord*()>& slot, int first,
                  int wanted, int* total = nullptr);
inline constexpr const char* kMatchCountColumn = "MatchCount";

// What changes whenever the library may have changed: any write of this process, any
// commit of another connection, a close. Reads between two equal versions read the same.
struct LibraryVersion {
  uint64_t writes = 0;
  int64_t totalChanges = 0;
  int64_t dataVersion = 0;
  bool operator==(const LibraryVersion&) const = default;
};
// Nothing when the library is closed or its version cannot be read.
std::optional<LibraryVersion> db_version();
// The same, but nothing at once (rather than a wait) while another thread holds the
// library: a scan's batch holds it for up to a quarter of a second, and its end changes
// the version anyway.
std::optional<LibraryVersion> db_versionIfIdle();
void db_invalidateBrowse();
void db_forgetBrowseQuery();
// Gives back the page cache the connection filled (after a scan, before a long rest); it
// refills from the file as answers need it.
void db_releaseMemory();

// Highest MyIndex of the object table; 0 when the table is empty or the query fails.
int32_t db_getMaxIndex();

// Reads a setting: a row of the table AVP (attribute-value pairs). Returns 1 when the
// query ran; *value is the stored text (cut to kSettingValueMax bytes), empty when the key
// has no row; *found (optional) tells which.
int db_getAVP(std::string_view key, std::string* value, bool* found = nullptr);
// Updates a setting. A key without a row is not created.
void db_setAVP(std::string_view key, std::string_view value);

int db_getSharedFolder(std::string_view dirPath, SharedFolderRecord* record);
// Rows with an empty DirPath are left out. *ok (optional) is false when the query failed.
std::vector<SharedFolderRecord> db_listSharedFolders(bool* ok = nullptr);
int db_countSharedFolders();

// ---- Change counter ----

// The settings row that holds the change counter.
inline constexpr const char* kSystemUpdateIdKey = "SystemUpdateID";
// One commit names at most this many changed containers; beyond, it reports an overflow.
inline constexpr size_t kChangedContainersMax = 1024;

// What one commit changed in the object table.
struct LibraryChange {
  uint32_t systemUpdateId = 0;  // the counter as this commit stored it
  // The containers whose children were inserted, deleted or changed and that still exist,
  // in ascending order; incomplete (and empty) when `overflow` is set.
  std::vector<int32_t> containers;
  bool overflow = false;
};

// The number of committed changes of the object table: it grows by one with every commit
// (a batch, or a statement outside one) that inserted, deleted or updated objects, and is
// stored by that same commit, so it never falls behind the library nor goes backwards,
// across restarts included. Cheap; any thread.
uint32_t db_systemUpdateId();

// Installs the function told of each such commit, or removes it (empty). It is called on
// the committing thread with the library mutex held, so it must only hand the change on,
// never wait or use the library. Once this returns, the previous function is not running
// and is not called again.
using LibraryChangeListener = std::function<void(const LibraryChange& change)>;
void db_setChangeListener(LibraryChangeListener listener);

// A batch of writes in one transaction that holds the library mutex: other threads wait
// for the batch, never see half of it, and a crash leaves none of it. Commits when
// Commit() is called; rolls back when destroyed without it. Batches may nest; only the
// outermost one commits.
class LibraryTransaction {
 public:
  LibraryTransaction();
  ~LibraryTransaction();
  LibraryTransaction(const LibraryTransaction&) = delete;
  LibraryTransaction& operator=(const LibraryTransaction&) = delete;

  bool Commit();
  // False when the transaction could not begin (the library is closed or busy).
  bool Active() const { return active_; }

 private:
  std::unique_lock<std::recursive_mutex> lock_;
  bool outermost_ = false;
  bool active_ = false;
};

// Test hook: replaces the rename that puts the compacted copy in place.
using RenameFunction = int (*)(const char* from, const char* to);
void db_setRenameForTest(RenameFunction rename);
