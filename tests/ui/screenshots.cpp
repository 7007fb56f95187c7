// Takes a picture of each tab of the window after a real run of a document:
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
    form->SimulateStartAction->trigger();
    TRunControl& run = form->RunControl();
    if (!QTest::qWaitFor([&] { return !run.GetSimulating() && !run.GetSimulationTimerOn(); }, 300000)) status = 1;
    const char* const names[] = {"configuration", "simulation", "messages", "settings"};
    QDir().mkpath(argv[1]);
    for (int i = 0; i < form->PageControl->count(); ++i) {
      form->PageControl->setCurrentIndex(i);
      QTest::qWait(200);
      const QString file = QString("%1/%2-%3.png").arg(argv[1]).arg(i + 1).arg(names[i]);
      if (!form->grab().save(file)) status = 1;
      std::cout << file.toStdString() << '\n';
    }
    ShutdownModules();
  }
  return status;
}
