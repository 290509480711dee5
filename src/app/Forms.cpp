#include "app/Forms.h"

TForms::~TForms() {
  InfoFileFrm.reset();
  AboutFrm.reset();
  ExportFrm.reset();
  ThermalFrm.reset();
  AllanFrm.reset();
  CalculFrm.reset();
  OptionForm.reset();
  MainFrm.reset();
}

std::unique_ptr<TForms> CreateForms(const std::string& settingsPath) {
  auto forms = std::make_unique<TForms>();
  forms->MainFrm = std::make_unique<TMainFrm>(settingsPath);
  forms->OptionForm = std::make_unique<TOptionForm>();
  forms->CalculFrm = std::make_unique<TCalculFrm>(forms->MainFrm.get());
  forms->AllanFrm = std::make_unique<TAllanFrm>(forms->MainFrm.get());
  forms->ThermalFrm = std::make_unique<TThermalFrm>(forms->MainFrm.get());
  forms->ExportFrm = std::make_unique<TExportFrm>(forms->MainFrm.get());
  forms->AboutFrm = std::make_unique<TAboutFrm>();
  // Centred on the main window, which owns it.
  forms->InfoFileFrm = std::make_unique<TInfoFileFrm>(forms->MainFrm.get());
  forms->MainFrm->SetForms(forms->OptionForm.get(), forms->AboutFrm.get());
  forms->MainFrm->InfoFileFrm = forms->InfoFileFrm.get();
  forms->MainFrm->CalculFrm = forms->CalculFrm.get();
  forms->MainFrm->AllanFrm = forms->AllanFrm.get();
  forms->MainFrm->ThermalFrm = forms->ThermalFrm.get();
  forms->MainFrm->ExportFrm = forms->ExportFrm.get();
  return forms;
}
