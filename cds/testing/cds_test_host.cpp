// A media server device with the content directory over a temporary library, for the
// tests that run it inside a private network namespace. Builds the library from a few
// real files made with ffmpeg (titles come from the file names), prints "PORT <web port>" once the
// device exists, runs until its standard input is closed, then prints "STOPPED <result>".
//   cds_test_host
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "cds/content_directory_service.h"
#include "library/build/library_edit.h"
#include "library/build/scan_test_support.h"
#include "library/build/scanner.h"
#include "upnp/lattice.h"

namespace {

bool BuildLibrary(const scan_test::ScanLibrary& lib) {
  scan_test::MakeDirs(lib.MediaPath("Music/Rock"));
  scan_test::MakeDirs(lib.MediaPath("Pictures"));
  bool ok = scan_test::WriteMp3(lib.MediaPath("Music/Rock/Alpha x-ray.mp3"),
                                {"Alpha x-ray", "The Band", "First Album", "Rock", "1"}) &&
            scan_test::WriteMp3(lib.MediaPath("Music/Rock/Boxer.mp3"),
                                {"Boxer", "The Band", "First Album", "Rock", "2"}) &&
            scan_test::WriteMp3(lib.MediaPath("Music/Rock/Gamma & Delta.mp3"),
                                {"Gamma & <Delta>", "Other", "Second Album", "Rock", "3"}) &&
            scan_test::WriteJpeg(lib.MediaPath("Pictures/xmas.jpg"));
  if (!ok || Lib_AddSharedFolder(lib.media()) != 1) return false;
  Scan_SharedFolder(lib.media());
  return true;
}

}  // namespace

int main() {
  scan_test::ScanLibrary lib;
  if (!lib.ok() || !BuildLibrary(lib)) {
    std::printf("NOLIBRARY\n");
    return 1;
  }
  ContentDirectoryService service(lib.dir() + "/");
  DeviceHostConfig config;
  config.FriendlyName = "Orvex CDS Test";
  config.Udn = "4d696e69-444c-164e-9d41-b827eb0a1b2d";
  config.SerialNumber = "1234abcd-ef-02";
  config.DeviceReady = [](FLibChain*, UpnpLattice* device) {
    std::printf("PORT %u\n", static_cast<unsigned>(UpnpLattice_WebPort(device)));
    std::fflush(stdout);
  };
  service.Configure(&config);
  if (!service.Start()) return 1;

  std::mutex lock;
  std::function<void()> stopper;
  bool inputClosed = false;
  std::thread watcher([&] {
    char c;
    while (::read(0, &c, 1) > 0) {
    }
    std::lock_guard guard(lock);
    inputClosed = true;
    if (stopper) stopper();
  });
  int result = RunMediaServerDevice(config, [&](std::function<void()> stop) {
    std::lock_guard guard(lock);
    stopper = std::move(stop);
    if (inputClosed) stopper();
  });
  service.Stop();
  std::printf("STOPPED %d\n", result);
  std::fflush(stdout);
  watcher.detach();
  return result == 0 ? 0 : 1;
}
