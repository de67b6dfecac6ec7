// The album art worker: one thread at idle priority that makes the album art of the
// items a scan or the watcher stored, after they were stored, so that neither a scan nor
// a Browse ever decodes a picture. Each item's art is recorded in the library (its file
// name, or "-" for none); a Browse only reads that. The art files are named after their
// source's path, size and modification time, so an item stored again from an unchanged
// file finds its art already made, and a changed file gets new art. The pictures are
// decoded by a short-lived child process, the program itself started with
// kAlbumArtMakerFlag, so that the server never maps the decoders.
#pragma once

// The first argument that makes the program the art maker (AlbumArtWorker_MakeArt).
inline constexpr const char* kAlbumArtMakerFlag = "--make-album-art";

// Starts the worker (its owner is the program's start-up) and has it look for items
// without art. Nothing happens when it runs already.
void AlbumArtWorker_Start();

// Has a running worker look for items without art; without a worker, nothing happens
// (the items get their art when the worker starts).
void AlbumArtWorker_Kick();

// Stops the worker after the item it is on and joins it.
void AlbumArtWorker_Shutdown();

// Looks at every item whose art has not been looked for, on the calling thread; returns
// the number of items looked at. What the worker runs after each kick.
int AlbumArtWorker_RunPending();

// The art maker: what the program does when started with kAlbumArtMakerFlag; `argv` are
// the arguments after it, as the worker forms them. Returns the exit status.
int AlbumArtWorker_MakeArt(int argc, char** argv);
