// Ratelog: measurement program for single-axis fibre-optic gyroscopes.
#include <QApplication>
#include <exception>

#include "app/Forms.h"
#include "ui/Dialogs.h"
#include "ui/ProgramIcon.h"

namespace {

// An error that escapes a handler is shown in the error box and the program
// goes on.
class TApplication : public QApplication {
 public:
  using QApplication::QApplication;
  bool notify(QObject* receiver, QEvent* event) override {
    try {
      return QApplication::notify(receiver, event);
    } catch (const std::exception& error) {
      Dialogs().ShowError(activeWindow(), QString::fromLocal8Bit(error.what()));
    } catch (...) {
      Dialogs().ShowError(activeWindow(), QStringLiteral("Unknown error"));
    }
    return false;
  }
};

}  // namespace

int main(int argc, char** argv) {
  TApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Ratelog"));
  QApplication::setWindowIcon(ProgramIcon());
  std::unique_ptr<TForms> forms;
  try {
    forms = CreateForms();
    forms->MainFrm->show();
  } catch (const std::exception& error) {
    Dialogs().ShowError(nullptr, QString::fromLocal8Bit(error.what()));
    return 1;
  }
  const int result = app.exec();
  forms.reset();
  return result;
}
