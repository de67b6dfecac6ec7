// Edits of the library as a whole: shared folders added and removed, a container's
// subtree deleted, the library cleared. Each keeps the totals of scanner.h right.
#pragma once

#include <cstdint>
#include <string>

// Deletes a container, its children and every copy of their files (groups left empty
// go too). Files still shared through another shared folder keep their other rows.
void Lib_DeleteSubtree(int32_t myIndex);

// 1 when the folder was stored as a shared folder, 0 when it was already shared or the
// insert failed. It is stored as still to be scanned (kSharedFolderScanPending) until a
// scan of it reaches the end.
int Lib_AddSharedFolder(const std::string& path);
// Removes a shared folder and its objects. Takes Scanner().filesMutex.
void Lib_RemoveSharedFolder(const std::string& path);
// Empties the library (objects and shared folders), rebuilds the fixed tree and empties
// cache/ and thumbnail/. Takes Scanner().filesMutex, so it waits for a running scan.
void Lib_Clear();
