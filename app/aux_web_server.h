// The auxiliary web server: the system's lighttpd serves ".mkv" items on a fixed port for
// clients whose players want them from a plain, well-known HTTP server. The content
// directory writes, per such item, "etc/<MyIndex>.txt" holding the media file's path; the
// server's Lua hook maps "/0/___/<MyIndex>/<name>" to that path and lets lighttpd send the
// file (ranges included).
#pragma once

#include <cstdint>
#include <string>

inline constexpr uint16_t kAuxWebServerPort = 3456;

// Writes the configuration and the hook into the program directory and starts lighttpd
// on `port`, bound to `bindAddress` (empty: every interface). A missing lighttpd, or a
// program directory whose name the configuration cannot carry, is logged and ignored:
// only the ".mkv" resources stay unanswered. Calling it again while it runs does nothing.
// lighttpd ends when the thread that called this ends, so call it from the main thread:
// then it never outlives the process, however the process ends.
void StartLighttpd(uint16_t port = kAuxWebServerPort, const std::string& bindAddress = "");
// Ends the server started above, if any.
void StopLighttpd();
// True while the started server runs (tests).
bool LighttpdRunning();
// The port of the started server while it runs, else 0.
uint16_t LighttpdPort();

// The program used; empty means "lighttpd" from PATH or /usr/sbin. For tests.
void SetLighttpdProgram(const std::string& program);
