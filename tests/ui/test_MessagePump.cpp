// The main thread's message queue and Qt's events running together.
#include <thread>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTest>
#include <QTimer>

#include "UiTestSupport.h"
#include "platform/Messages.h"
#include "ui/QtMessagePump.h"

namespace {

class MessagePumpTest : public UiTest {};

TEST_F(MessagePumpTest, QtLoopRunsMessagesSentFromAnotherThread) {
  TQtMessagePump pump;
  int handled = 0;
  const Platform::HWND wnd = Platform::CreateWindow([&](Platform::HWND, uint32_t msg, Platform::WPARAM w, Platform::LPARAM) {
    handled += static_cast<int>(w);
    return static_cast<Platform::LRESULT>(msg);
  });
  Platform::LRESULT reply = 0;
  std::thread sender([&] { reply = Platform::SendMessage(wnd, 1234, 5, 0); });
  // Only Qt's loop runs here; the notifier on the queue's eventfd serves the send.
  EXPECT_TRUE(QTest::qWaitFor([&] { return handled == 5; }, 2000));
  sender.join();
  EXPECT_EQ(reply, 1234);
  Platform::DestroyWindow(wnd);
}

TEST_F(MessagePumpTest, WaitsOfTheSimulationCodeRunQtEvents) {
  TQtMessagePump pump;
  bool fired = false;
  QTimer::singleShot(0, [&] { fired = true; });
  Platform::ProcessMessages();
  EXPECT_TRUE(fired);

  // A wait ends early when a message arrives, and runs Qt timers meanwhile.
  bool timerRan = false;
  QTimer::singleShot(10, [&] { timerRan = true; });
  QElapsedTimer elapsed;
  elapsed.start();
  while (!timerRan && elapsed.elapsed() < 2000) Platform::WaitMessage(100);
  EXPECT_TRUE(timerRan);

  const Platform::HWND wnd = Platform::CreateWindow(nullptr);
  std::thread poster([&] { Platform::PostMessage(wnd, 1, 0, 0); });
  poster.join();
  elapsed.restart();
  EXPECT_TRUE(Platform::WaitMessage(5000));
  EXPECT_LT(elapsed.elapsed(), 4000);
  Platform::ProcessMessages();
  Platform::DestroyWindow(wnd);
}

}  // namespace
