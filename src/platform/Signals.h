#pragma once
// SIGINT, SIGTERM and SIGHUP as a readable descriptor, so a loop that polls can treat
// them as a Stop command instead of dying mid-run.
namespace Platform {

class TStopSignals {
 public:
  // Blocks SIGINT, SIGTERM and SIGHUP in the calling thread (threads it starts later
  // inherit that) and opens a descriptor on which they arrive. Create it
  // before any other thread is started.
  TStopSignals();
  // Restores the previous signal mask.
  ~TStopSignals();
  TStopSignals(const TStopSignals&) = delete;
  TStopSignals& operator=(const TStopSignals&) = delete;

  // Readable while a signal waits; -1 when it could not be opened.
  int Fd() const { return FFd; }
  // Consumes every waiting signal; true when there was one.
  bool Take();

 private:
  int FFd = -1;
  unsigned char FOldMask[128];  // sigset_t, kept opaque here
};

}  // namespace Platform
