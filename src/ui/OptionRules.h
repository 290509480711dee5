// The settings dialog's typed values without the widgets: how the record is
// shown in the edits and how Apply checks and converts the edits' texts.
#pragma once

#include <string>

#include "settings/Optionsprogramm.h"

struct TOptionTexts {
  std::string FaultTime;
  std::string AdTime;
  std::string AdSig;
  std::string AdTemp;
  std::string Command;
  std::string DriftTime;
  std::string Passband;
  std::string RandomWalkTime;
  std::string EarthRate;
  std::string TimeScale;
  std::string TempScale;
  std::string FreqImpulse;
};

// The texts of the edits for a record, with the given decimal separator.
TOptionTexts OptionTextsOf(const TOptionProgramm& record, char sep);

struct TApplyResult {
  bool Ok = true;
  std::string Message;  // the conversion message when not Ok
};

// Apply's checks and conversions, in the dialog's order. An empty or
// out-of-range text is rewritten from `record` (and that text then counts as
// shown). A text equal to its counterpart in `shown` (what the edit showed
// when filled or last applied) keeps the stored value, so rounding in the
// edit never changes a value the user did not touch. A text that is not a
// number stops Apply with the conversion message and leaves `record`
// unchanged; otherwise `record` takes every value and `shown` becomes
// `texts`. Trigger mask and server folder are not texts of this kind: the
// dialog stores them itself.
TApplyResult ApplyOptionTexts(TOptionTexts& texts, TOptionTexts& shown,
                              TOptionProgramm& record, char sep);

// "Low", "Middle", "Hihg" <-> 2000, 4000, 6000; -1 / 0 for anything else.
int ResolutionItem(int resolution);
int ResolutionOfItem(int item);
