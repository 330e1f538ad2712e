// One session played in a child process, one handler at a time, so that the suite can act on
// the server between two handlers and kill a session whose handler runs past its limit.
//
// The child loads the notification library by path and calls its exported handlers, as the
// session host does: the hosted platform answers from the session, the clock moves on one
// minute before each later notification, and running timers tick between notifications.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

#include "platform/hosted/HostedPlatform.h"
#include "tools/qbnotify-host/SessionFile.h"

namespace qbnotify::faults {

// What one handler did.
struct HandlerRun {
  double seconds = 0;       // time inside the exported handler
  bool completed = true;    // false: killed past its limit, or the process ended inside it
  std::string failure;      // why it did not complete
  bool sessionEnded = false;
  // Whether the client was told something at this step, and what: channel writes, the session
  // end and window commands, in order, as text (traces, pauses and timers left out).
  std::string effects;
};

class SessionWorker {
 public:
  // Forks the child, which loads the library and waits for the first handler.
  SessionWorker(const std::string& libraryPath, hosted::Session session);
  ~SessionWorker();
  SessionWorker(const SessionWorker&) = delete;
  SessionWorker& operator=(const SessionWorker&) = delete;

  // Delivers one notification and waits at most `limitSeconds` for its handler; past that the
  // child is killed. nullopt when the session had already ended or the child is gone (killed
  // before, or ended on its own: see ExitStatus).
  std::optional<HandlerRun> Run(host::Event event, double limitSeconds);
  bool Alive() const { return pid_ > 0; }

  // Lets the child end and returns its exit status (128 + signal when a signal ended it).
  int Finish();

 private:
  void KillChild();

  pid_t pid_ = -1;
  int commands_ = -1;  // to the child
  int replies_ = -1;   // from the child
  int status_ = -1;
};

}  // namespace qbnotify::faults
