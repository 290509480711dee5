// The program's windows, created in the program's order and wired to the
// main window.
#pragma once

#include <memory>
#include <string>

#include "app/Mainform.h"
#include "files/Export.h"
#include "files/Infofileform.h"
#include "processing/Calculate.h"
#include "settings/Optionfrm.h"
#include "ui/About.h"
#include "ui/Allandev.h"
#include "ui/ThermalFrm.h"

struct TForms {
  // Destroyed in reverse order: the dialogs first, the main window last.
  std::unique_ptr<TMainFrm> MainFrm;
  std::unique_ptr<TOptionForm> OptionForm;
  std::unique_ptr<TCalculFrm> CalculFrm;
  std::unique_ptr<TAllanFrm> AllanFrm;
  std::unique_ptr<TThermalFrm> ThermalFrm;
  std::unique_ptr<TExportFrm> ExportFrm;
  std::unique_ptr<TAboutFrm> AboutFrm;
  std::unique_ptr<TInfoFileFrm> InfoFileFrm;

  ~TForms();
};

// Main window first (the application's main window), then Settings,
// Calculation (with the Allan deviation window), About and Information file. settingsPath: the settings file the main window loads when shown.
// Export, About and Information file. settingsPath: the settings file the main window loads when shown.
std::unique_ptr<TForms> CreateForms(const std::string& settingsPath = DefaultSettingsFilePath());
