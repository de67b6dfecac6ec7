// The single-instance guard: only one copy of the program runs per program directory.
//
// The first copy holds an flock() on "Orvex.lock" in the directory for the life of the
// guard and listens on a Unix-domain stream socket beside it ("Orvex.sock", or an
// abstract socket named after a hash of the directory when that path would not fit a
// socket address). A second copy finds the lock held, connects, asks the first copy to
// show its window, and learns that it must exit with status 0. A status query connects
// the same way and reads the first copy's status text.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <thread>

namespace platform {

class SingleInstance {
 public:
  // Tries to become the running copy for `directory`.
  //  - Returns the guard when this copy is the first; *anotherRunning is false.
  //    `onShowRequest` is then called on the guard's own thread for each request of a
  //    later copy; it must hand the work to the window's thread itself.
  //  - Returns nullptr with *anotherRunning true when another copy holds the lock; the
  //    request to show its window has been delivered when that copy listens.
  //  - Returns nullptr with *anotherRunning false when the guard cannot be set up (the
  //    lock file cannot be created); the reason is logged and the caller decides.
  // A socket left behind by a killed copy does not stop the start: the lock proves it
  // stale and it is replaced. When the socket cannot be set up the lock alone guards.
  // `onStatusRequest`, when given, makes the answer to a status query, on the guard's
  // thread.
  static std::unique_ptr<SingleInstance> Acquire(const std::string& directory,
                                                 std::function<void()> onShowRequest,
                                                 bool* anotherRunning,
                                                 std::function<std::string()> onStatusRequest = {});

  // Asks the copy running for `directory` for its status text. False when no copy
  // listens there (none runs, or it cannot be reached); *answer is then empty. A copy
  // that does not answer status queries gives an empty answer.
  static bool QueryStatus(const std::string& directory, std::string* answer);

  // Only Acquire can make a key, so only Acquire constructs a guard.
  class Key {
    friend class SingleInstance;
    Key() = default;
  };
  SingleInstance(Key, int lockFd, int listenFd, int stopFd, std::string socketPath,
                 std::function<void()> onShowRequest, std::function<std::string()> onStatusRequest);

  // Stops the listener thread, removes the socket file and releases the lock.
  ~SingleInstance();

  SingleInstance(const SingleInstance&) = delete;
  SingleInstance& operator=(const SingleInstance&) = delete;

  // The socket address used for `directory`: a file path, or for the abstract
  // namespace a name that begins with '\0'. Exposed so tests and logs can tell which.
  static std::string SocketAddressFor(const std::string& directory);

 private:
  void Serve();
  void AnswerOne(int connection);

  int lockFd_;
  int listenFd_;
  int stopFd_;
  std::string socketPath_;  // Empty for an abstract socket (nothing to remove).
  std::function<void()> onShowRequest_;
  std::function<std::string()> onStatusRequest_;
  std::thread thread_;
};

}  // namespace platform
