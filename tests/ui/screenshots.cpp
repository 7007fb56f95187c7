// Takes a picture of each tab of the window around a real run of a
// document: the Simulation tab while the run goes on (ten steps in, once an
// engine is held at the barrier, if that comes before the run ends), the
// others after it, and the Simulation tab again after it; then the same run
// stopped a few steps in, and a start that fails because a model file is
// missing.
//   ui_screenshots OUTDIR DOCUMENT SETTINGS
// Run it under xvfb-run; SETTINGS is a settings file it may change.
#include <iostream>
#include <memory>

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QPainter>
#include <QPushButton>
#include <QTableWidgetItem>
#include <QToolTip>
#include <QTabWidget>
#include <QTest>

#include "ui/FModel.h"
#include "ui/Main.h"
#include "ui/QtMessageBox.h"
#include "ui/QtMessagePump.h"
#include "ui/RunMonitor.h"
#include "ui/Startup.h"

namespace {

int Save(const QPixmap& picture, const char* folder, const char* name) {
  const QString file = QString("%1/%2").arg(folder).arg(name);
  std::cout << file.toStdString() << '\n';
  return picture.save(file) ? 0 : 1;
}

}  // namespace

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

    // The Simulation tab once the run is over: the figures and the chart
    // stay until the next run.
    form->PageControl->setCurrentWidget(form->SimulationTabSheet);
    QTest::qWait(300);
    status |= Save(form->grab(), argv[1], "7-simulation-after-run.png");

    // The same run stopped a few steps in, once every engine has gone: the
    // rows tell how each one ended.
    form->PageControl->setCurrentWidget(form->SimulationTabSheet);
    form->SimulateStartAction->trigger();
    auto stepsDone = [&](int steps) {
      if (form->EnginesTable->rowCount() == 0) return false;
      for (int row = 0; row < form->EnginesTable->rowCount(); ++row)
        if (form->EnginesTable->Cell(row, TEngineTable::ecStep).toInt() < steps) return false;
      return true;
    };
    if (!QTest::qWaitFor([&] { return stepsDone(5) || !run.GetSimulating(); }, 120000)) status = 1;
    form->StopButton->click();
    if (!QTest::qWaitFor([&] { return !run.GetRunInProgress(); }, 120000)) status = 1;
    QTest::qWait(300);
    status |= Save(form->grab(), argv[1], "5-stopped.png");

    // A start that fails: the second model's file is missing, so its engine
    // gives up before "Initialize"; its row's tooltip holds its last words.
    const std::string folder = QFileInfo(QString::fromLocal8Bit(argv[2])).absolutePath().toStdString();
    form->ModelForms()[1]->SetFilename(folder + "/missing.vm");
    form->SimulateStartAction->trigger();
    QTest::qWait(300);
    QPixmap failed = form->grab();
    if (QTableWidgetItem* cell = form->EnginesTable->item(1, TEngineTable::ecState)) {
      // Near the row's left end, so that the long lines of the tip fit.
      const QRect rect = form->EnginesTable->visualItemRect(form->EnginesTable->item(1, TEngineTable::ecModel));
      QToolTip::showText(form->EnginesTable->viewport()->mapToGlobal(rect.center()), cell->toolTip(),
                         form->EnginesTable->viewport());
      QTest::qWait(300);
      failed = form->grab();
      QPainter painter(&failed);
      for (QWidget* widget : QApplication::topLevelWidgets())
        if (widget->inherits("QTipLabel") && widget->isVisible())
          painter.drawPixmap(form->mapFromGlobal(widget->mapToGlobal(QPoint(0, 0))), widget->grab());
    }
    status |= Save(failed, argv[1], "6-failed-start.png");
    ShutdownModules();
  }
  return status;
}
