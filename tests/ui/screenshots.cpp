// Takes a picture of each tab of the window around a real run of a
// document: the Simulation tab while the run goes on (ten steps in, once an
// engine is held at the barrier, if that comes before the run ends), the
// others after it.
//   ui_screenshots OUTDIR DOCUMENT SETTINGS
// Run it under xvfb-run; SETTINGS is a settings file it may change.
#include <iostream>
#include <memory>

#include <QApplication>
#include <QDir>
#include <QTabWidget>
#include <QTest>

#include "ui/Main.h"
#include "ui/QtMessageBox.h"
#include "ui/QtMessagePump.h"
#include "ui/RunMonitor.h"
#include "ui/Startup.h"

int main(int argc, char** argv) {
  if (argc != 4) {
    std::cerr << "usage: ui_screenshots OUTDIR DOCUMENT SETTINGS\n";
    return 2;
  }
  int qtArgc = 1;
  QApplication application(qtArgc, argv);
  InstallQtMessageBoxHook();
  StartupModules(argv[3]);
  int status = 0;
  {
    TQtMessagePump pump;
    auto form = std::make_unique<TMainForm>(std::vector<std::string>{argv[2]});
    form->show();
    (void)QTest::qWaitForWindowExposed(form.get());
    form->PageControl->setCurrentWidget(form->SimulationTabSheet);
    form->SimulateStartAction->trigger();
    TRunControl& run = form->RunControl();
    // Some way into the run, with an engine held.
    auto held = [&] {
      bool any = false;
      for (int row = 0; row < form->EnginesTable->rowCount(); ++row) {
        if (form->EnginesTable->Cell(row, TEngineTable::ecStep).toInt() < 10) return false;
        any = any || !form->EnginesTable->Cell(row, TEngineTable::ecHeld).isEmpty();
      }
      return any;
    };
    QPixmap during;
    if (!QTest::qWaitFor([&] {
          const bool ended = !run.GetSimulating() && !run.GetSimulationTimerOn();
          if (during.isNull() && (held() || ended)) during = form->grab();
          return ended;
        }, 300000))
      status = 1;
    const char* const names[] = {"configuration", "simulation", "messages", "settings"};
    QDir().mkpath(argv[1]);
    for (int i = 0; i < form->PageControl->count(); ++i) {
      form->PageControl->setCurrentIndex(i);
      QTest::qWait(200);
      const QString file = QString("%1/%2-%3.png").arg(argv[1]).arg(i + 1).arg(names[i]);
      const QPixmap picture = form->PageControl->currentWidget() == form->SimulationTabSheet ? during : form->grab();
      if (!picture.save(file)) status = 1;
      std::cout << file.toStdString() << '\n';
    }
    ShutdownModules();
  }
  return status;
}
