#include "platform/Signals.h"

#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cstring>

namespace Platform {

static_assert(sizeof(sigset_t) <= 128, "sigset_t does not fit");

TStopSignals::TStopSignals() {
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGINT);
  sigaddset(&stop, SIGTERM);
  // The terminal that went away asks as firmly as a kill.
  sigaddset(&stop, SIGHUP);
  sigset_t old;
  pthread_sigmask(SIG_BLOCK, &stop, &old);
  std::memcpy(FOldMask, &old, sizeof old);
  FFd = signalfd(-1, &stop, SFD_NONBLOCK | SFD_CLOEXEC);
}

TStopSignals::~TStopSignals() {
  if (FFd >= 0) close(FFd);
  sigset_t old;
  std::memcpy(&old, FOldMask, sizeof old);
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
}

bool TStopSignals::Take() {
  if (FFd < 0) return false;
  bool any = false;
  signalfd_siginfo info;
  while (read(FFd, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) any = true;
  return any;
}

}  // namespace Platform
