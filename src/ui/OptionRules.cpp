#include "ui/OptionRules.h"

#include "processing/NumberFormat.h"

namespace {

std::string IntText(long value) { return std::to_string(value); }

std::string NotInteger(const std::string& text) {
  return "'" + text + "' is not a valid integer value";
}
std::string NotFloat(const std::string& text) {
  return "'" + text + "' is not a valid floating point value";
}

// One edit during Apply: its text, the text it showed, the stored value.
class TField {
 public:
  TField(std::string& text, std::string& shown) : text_(text), shown_(shown) {}

  bool Empty() const { return text_.find_first_not_of(' ') == std::string::npos; }
  bool Unchanged() const { return text_ == shown_; }
  // Puts the record's value back into the edit.
  void Refill(const std::string& text) { text_ = shown_ = text; }

 private:
  std::string& text_;
  std::string& shown_;
  friend class TApply;
};

class TApply {
 public:
  TApply(char sep) : sep_(sep) {}

  // Integer edit: unchanged keeps `stored`; empty or rejected by `valid`
  // refills from `stored`. False on a text that is not an integer.
  template <typename Valid>
  bool Int(TField field, long stored, long& out, Valid valid) {
    if (field.Unchanged()) {
      out = stored;
      return true;
    }
    if (field.Empty()) {
      field.Refill(IntText(stored));
      out = stored;
      return true;
    }
    int value = 0;
    if (!ParseInt(field.text_, value)) {
      message = NotInteger(field.text_);
      return false;
    }
    if (!valid(value)) {
      field.Refill(IntText(stored));
      out = stored;
      return true;
    }
    out = value;
    return true;
  }

  template <typename Valid>
  bool Float(TField field, double stored, const std::string& storedText, double& out,
             Valid valid) {
    if (field.Unchanged()) {
      out = stored;
      return true;
    }
    if (field.Empty()) {
      field.Refill(storedText);
      out = stored;
      return true;
    }
    double value = 0;
    if (!ParseDouble(field.text_, sep_, value)) {
      message = NotFloat(field.text_);
      return false;
    }
    if (!valid(value)) {
      field.Refill(storedText);
      out = stored;
      return true;
    }
    out = value;
    return true;
  }

  std::string message;

 private:
  char sep_;
};

}  // namespace

TOptionTexts OptionTextsOf(const TOptionProgramm& r, char sep) {
  TOptionTexts t;
  t.FaultTime = IntText(r.FaultTime);
  t.AdTime = IntText(r.AdTime);
  t.AdSig = IntText(r.AdSig);
  t.AdTemp = IntText(r.AdTemp);
  t.Command = IntText(r.Command);
  t.DriftTime = FormatFixed(r.DriftTime, 15, 1, sep);
  t.Passband = IntText(r.Passband);
  t.RandomWalkTime = FormatFixed(r.RandomWalkTime, 15, 1, sep);
  t.EarthRate = FormatFixed(r.EarthRate, 15, 6, sep);
  t.TimeScale = FormatGeneral(r.TimeScale, sep);
  t.TempScale = FormatFixed(r.TempScale, 15, 2, sep);
  t.FreqImpulse = FormatGeneral(r.FreqImpulse, sep);
  return t;
}

TApplyResult ApplyOptionTexts(TOptionTexts& texts, TOptionTexts& shown, TOptionProgramm& record,
                              char sep) {
  TApply apply(sep);
  TOptionProgramm next = record;
  const TOptionTexts stored = OptionTextsOf(record, sep);
  auto fail = [&] { return TApplyResult{false, apply.message}; };
  auto always = [](double) { return true; };

  // 1. Fault time.
  long fault = 0;
  if (!apply.Int(TField(texts.FaultTime, shown.FaultTime), record.FaultTime, fault,
                 [](long v) { return v > 0; }))
    return fail();
  next.FaultTime = static_cast<std::int32_t>(fault);

  // 2. Field addresses and the OneCommand command, only while changes are
  // enabled.
  if (record.EnableChange) {
    auto address = [](long v) { return v >= 0 && v < 255; };
    long adTime = 0, adSig = 0, adTemp = 0, command = 0;
    TField fTime(texts.AdTime, shown.AdTime), fSig(texts.AdSig, shown.AdSig),
        fTemp(texts.AdTemp, shown.AdTemp), fCommand(texts.Command, shown.Command);
    if (!apply.Int(fTime, record.AdTime, adTime, address)) return fail();
    if (!apply.Int(fSig, record.AdSig, adSig, address)) return fail();
    if (!apply.Int(fTemp, record.AdTemp, adTemp, address)) return fail();
    if (fCommand.Empty()) fCommand.Refill(stored.Command);
    auto resetPair = [&](TField& a, long& va, long sa, const std::string& ta, TField& b,
                         long& vb, long sb, const std::string& tb) {
      if (va != vb) return;
      a.Refill(ta);
      va = sa;
      b.Refill(tb);
      vb = sb;
    };
    resetPair(fTime, adTime, record.AdTime, stored.AdTime, fSig, adSig, record.AdSig,
              stored.AdSig);
    resetPair(fTime, adTime, record.AdTime, stored.AdTime, fTemp, adTemp, record.AdTemp,
              stored.AdTemp);
    resetPair(fSig, adSig, record.AdSig, stored.AdSig, fTemp, adTemp, record.AdTemp,
              stored.AdTemp);
    if (!apply.Int(fCommand, record.Command, command,
                   [](long v) { return v >= 9 && v <= 255; }))
      return fail();
    next.AdTime = static_cast<std::uint8_t>(adTime);
    next.AdSig = static_cast<std::uint8_t>(adSig);
    next.AdTemp = static_cast<std::uint8_t>(adTemp);
    next.Command = static_cast<std::uint8_t>(command);
  }

  // 3. Calculation parameters.
  double drift = 0, walk = 0, earth = 0;
  long passband = 0;
  if (!apply.Float(TField(texts.DriftTime, shown.DriftTime), record.DriftTime, stored.DriftTime,
                   drift, [](double v) { return v > 0 && v <= 1000; }))
    return fail();
  if (!apply.Int(TField(texts.Passband, shown.Passband), record.Passband, passband,
                 [](long v) { return v > 0 && v <= 300; }))
    return fail();
  if (!apply.Float(TField(texts.RandomWalkTime, shown.RandomWalkTime), record.RandomWalkTime,
                   stored.RandomWalkTime, walk, [](double v) { return v > 0 && v <= 50; }))
    return fail();
  if (!apply.Float(TField(texts.EarthRate, shown.EarthRate), record.EarthRate, stored.EarthRate,
                   earth, [](double v) { return v > 0 && v <= 15.5; }))
    return fail();
  next.DriftTime = static_cast<float>(drift);
  next.Passband = static_cast<std::int32_t>(passband);
  next.RandomWalkTime = static_cast<float>(walk);
  next.EarthRate = earth;

  // 6.-8. Scales and the impulse frequency: only an empty text is refilled
  // (the temperature scale then with three decimals).
  double timeScale = 0, tempScale = 0, freq = 0;
  if (!apply.Float(TField(texts.TimeScale, shown.TimeScale), record.TimeScale, stored.TimeScale,
                   timeScale, always))
    return fail();
  if (!apply.Float(TField(texts.TempScale, shown.TempScale), record.TempScale,
                   FormatFixed(record.TempScale, 15, 3, sep), tempScale, always))
    return fail();
  if (!apply.Float(TField(texts.FreqImpulse, shown.FreqImpulse), record.FreqImpulse,
                   stored.FreqImpulse, freq, always))
    return fail();
  next.TimeScale = timeScale;
  next.TempScale = tempScale;
  next.FreqImpulse = freq;

  record = next;
  shown = texts;
  return {};
}

int ResolutionItem(int resolution) {
  switch (resolution) {
    case 2000: return 0;
    case 4000: return 1;
    case 6000: return 2;
    default: return -1;
  }
}

int ResolutionOfItem(int item) {
  static constexpr int values[] = {2000, 4000, 6000};
  return item >= 0 && item < 3 ? values[item] : 0;
}
