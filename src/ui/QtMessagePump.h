#pragma once
// Lets the main thread's message queue and Qt's events run together: Qt's
// loop drains the queue when its eventfd fires, and the waits of the
// simulation code run Qt's events (timers, the Stop button) while they wait.
#include <memory>

#include "platform/Messages.h"

class QSocketNotifier;

class TQtMessagePump : public Platform::IMessagePump {
 public:
  // Installs itself on the calling (main) thread; needs the application object.
  TQtMessagePump();
  ~TQtMessagePump() override;
  TQtMessagePump(const TQtMessagePump&) = delete;
  TQtMessagePump& operator=(const TQtMessagePump&) = delete;

  void ProcessEvents() override;
  void WaitEvents(uint32_t ms) override;

 private:
  std::unique_ptr<QSocketNotifier> FNotifier;
  Platform::IMessagePump* FPrevious = nullptr;
};
