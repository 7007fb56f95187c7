#include "ui/QtMessagePump.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTimer>

#include "platform/Events.h"
#include "ui/Main.h"

TQtMessagePump::TQtMessagePump()
    : FNotifier(std::make_unique<QSocketNotifier>(Platform::QueueEventFd(), QSocketNotifier::Read)) {
  QObject::connect(FNotifier.get(), &QSocketNotifier::activated, [] { RunCommand([] { Platform::ProcessOneMessage(); }); });
  FPrevious = Platform::SetMessagePump(this);
}

TQtMessagePump::~TQtMessagePump() { Platform::SetMessagePump(FPrevious); }

void TQtMessagePump::ProcessEvents() { QCoreApplication::processEvents(QEventLoop::AllEvents); }

void TQtMessagePump::WaitEvents(uint32_t ms) {
  // The timed processEvents does not wait for events; a timer event ends
  // the untimed wait instead. The queue's eventfd wakes it through the
  // notifier.
  QTimer timer;
  timer.setSingleShot(true);
  if (ms != Platform::INFINITE) timer.start(static_cast<int>(std::min<uint32_t>(ms, INT32_MAX)));
  QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
}
