#include "app/aux_web_server.h"

#include <unistd.h>

#include <fstream>
#include <memory>
#include <mutex>

#include "media/media_type.h"
#include "platform/app_directory.h"
#include "platform/log.h"
#include "platform/process.h"

namespace {

constexpr int kStopGraceMs = 2000;
constexpr const char* kConfigName = "lighttpd.conf";
constexpr const char* kHookName = "lighttpd-mkv.lua";
constexpr const char* kSystemProgram = "/usr/sbin/lighttpd";

struct AuxState {
  std::mutex lock;
  std::unique_ptr<platform::Process> process;
  std::string program;
  uint16_t port = 0;
};

AuxState& State() {
  static AuxState state;
  return state;
}

// lighttpd's configuration and Lua strings are written between double quotes; names with
// a quote, a backslash or a control character are not worth escaping for.
bool QuotableInConfig(const std::string& text) {
  for (unsigned char c : text) {
    if (c == '"' || c == '\\' || c < 0x20 || c == 0x7F) return false;
  }
  return true;
}

// The hook runs when lighttpd maps a request to a file. It only ever serves a path that
// the content directory wrote for an item number; every other request is 404.
std::string HookScript(const std::string& etcDirectory) {
  return "local uri = lighty.r.req_attr[\"uri.path\"] or \"\"\n"
         "local id = string.match(uri, \"^/0/___/(%d+)/[^/]*$\")\n"
         "if not id or #id > 10 then return 404 end\n"
         "local f = io.open(\"" +
         etcDirectory +
         "/\" .. id .. \".txt\", \"rb\")\n"
         "if not f then return 404 end\n"
         "local text = f:read(4096) or \"\"\n"
         "f:close()\n"
         "local path = string.match(text, \"^[^%z]+\")\n"
         "if not path or not string.match(string.lower(path), \"%.mkv$\") then return 404 end\n"
         "lighty.r.req_attr[\"physical.path\"] = path\n"
         "lighty.r.req_attr[\"physical.rel-path\"] = path\n"
         "return 0\n";
}

std::string Config(const std::string& appDirectory, uint16_t port, const std::string& bind) {
  std::string config;
  config += "server.modules = (\"mod_magnet\")\n";
  config += "server.document-root = \"" + appDirectory + "/etc\"\n";
  config += "server.port = " + std::to_string(port) + "\n";
  if (!bind.empty()) config += "server.bind = \"" + bind + "\"\n";
  config += "server.errorlog = \"" + appDirectory + "/lighttpd.log\"\n";
  config += "server.follow-symlink = \"enable\"\n";
  config += "index-file.names = ()\n";
  config += "magnet.attract-physical-path-to = (\"" + appDirectory + "/" + kHookName + "\")\n";
  // The type the content directory announces for the files it sends here.
  config += "mimetype.assign = (\".mkv\" => \"" + std::string(MediaType_MimeForExtension(".mkv")) +
            "\", \"\" => \"application/octet-stream\")\n";
  return config;
}

bool WriteFile(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  out.close();
  return static_cast<bool>(out);
}

std::string Program(const AuxState& state) {
  if (!state.program.empty()) return state.program;
  return access(kSystemProgram, X_OK) == 0 ? kSystemProgram : "lighttpd";
}

}  // namespace

void StartLighttpd(uint16_t port, const std::string& bindAddress) {
  AuxState& state = State();
  std::lock_guard guard(state.lock);
  if (state.process && state.process->IsRunning()) return;
  std::string appDirectory = platform::AppDirectory();
  if (!QuotableInConfig(appDirectory) || !QuotableInConfig(bindAddress)) {
    platform::Log(
        "The .mkv web server is not started: the program directory's name cannot be "
        "written into its configuration.\n");
    return;
  }
  std::string configPath = appDirectory + "/" + kConfigName;
  if (!WriteFile(appDirectory + "/" + kHookName, HookScript(appDirectory + "/etc")) ||
      !WriteFile(configPath, Config(appDirectory, port, bindAddress))) {
    platform::Log("The .mkv web server is not started: its configuration cannot be written.\n");
    return;
  }
  auto process = std::make_unique<platform::Process>();
  platform::ProcessOptions options;
  options.workingDirectory = appDirectory;
  options.searchPath = true;
  options.output = platform::Redirect::Null();
  // Killed with us even when we are killed, so no stray lighttpd keeps the port.
  options.endWithParent = true;
  std::string program = Program(state);
  int error = process->Start(program, {"-D", "-f", configPath}, options);
  if (error != 0) {
    // Without lighttpd only the ".mkv" resources go unanswered.
    platform::Logf("The .mkv web server (%s) could not be started.\n", program.c_str());
    return;
  }
  state.process = std::move(process);
  state.port = port;
}

void StopLighttpd() {
  AuxState& state = State();
  std::lock_guard guard(state.lock);
  if (!state.process) return;
  state.process->Terminate(kStopGraceMs);
  state.process.reset();
}

bool LighttpdRunning() { return LighttpdPort() != 0; }

uint16_t LighttpdPort() {
  AuxState& state = State();
  std::lock_guard guard(state.lock);
  return state.process && state.process->IsRunning() ? state.port : 0;
}

void SetLighttpdProgram(const std::string& program) {
  AuxState& state = State();
  std::lock_guard guard(state.lock);
  state.program = program;
}
