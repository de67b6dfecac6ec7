// The file system tree (FST): the library's objects as the scanner builds them, the fixed
// skeleton of containers (container_tree.h) with the user's files below it. These are
// the building blocks every scan, the watcher's updates and the playlist import insert
// objects with.
#pragma once

#include <cstdint>
#include <string>

// Writes the root and the 27 containers and leaves the object-number counter at 29.
// Rows that already exist are left as they are.
void FST_BuildTree();

// Inserts one object under `parent` with the full media row (tags, size and cover for
// items). Returns the new MyIndex + 1; for an object that is already there (a container
// of the same path, an item of the same path and name under `parent`), its MyIndex + 1
// with nothing inserted (an item counts as a duplicate); 0 when the parent is negative
// or the insert failed. A playlist (kind 8) is stored with the path of its list file in
// cache/, named by the new object's number.
int FST_AddObject(int32_t parent, int32_t objectType, const std::string& path,
                  const std::string& name, int kind);
// Inserts one item under `parent` (nothing when it is there already or the parent is
// negative) and, for audio, its copies under the artist, genre and album groups.
void FST_AddItem(int32_t parent, int32_t objectType, const std::string& path,
                 const std::string& name, int kind, int32_t internetFlags);
