#include "processing/Calculate.h"

#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QShowEvent>
#include <QRadioButton>
#include <QTableWidget>
#include <QVBoxLayout>
#include <qcustomplot.h>

#include <memory>
#include <utility>

#include "files/RecordingReader.h"
#include "processing/BasicParameters.h"
#include "ui/Dialogs.h"
#include "ui/NumberText.h"
#include "ui/SpanEdits.h"

namespace {

template <typename W>
W* Named(W* widget, const char* name) {
  widget->setObjectName(QString::fromLatin1(name));
  return widget;
}

QLabel* ValueLabel(QWidget* parent, const char* name) {
  auto* label = Named(new QLabel(QStringLiteral("0"), parent), name);
  label->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  label->setFrameShape(QFrame::StyledPanel);
  label->setFrameShadow(QFrame::Sunken);
  label->setMinimumWidth(90);
  return label;
}

const char* const kRowNames[] = {"Average value signal", "Drift error", "Random walk",
                                 "Bias error"};
const char* const kRowDimensions[] = {"°/h", "°/h", "°/Vh", "°/h"};

}  // namespace

TCalculFrm::TCalculFrm(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint) {
  setObjectName(QStringLiteral("CalculFrm"));
  setWindowTitle(QStringLiteral("Calculation basic parameter"));
  setFixedSize(600, 396);

  GroupBox1 = Named(new QGroupBox(QStringLiteral("Setting calculation"), this), "GroupBox1");
  lab_SSZS = ValueLabel(GroupBox1, "lab_SSZS");
  lab_RandWalk = ValueLabel(GroupBox1, "lab_RandWalk");
  lab_passband = ValueLabel(GroupBox1, "lab_passband");
  lab_U = ValueLabel(GroupBox1, "lab_U");
  e_beg_time = Named(new QLineEdit(QStringLiteral("0"), GroupBox1), "e_beg_time");
  e_end_time = Named(new QLineEdit(QStringLiteral("0"), GroupBox1), "e_end_time");
  RadioButton1 = Named(new QRadioButton(QStringLiteral("1 sigma"), GroupBox1), "RadioButton1");
  RadioButton2 = Named(new QRadioButton(QStringLiteral("3 sigma"), GroupBox1), "RadioButton2");
  RadioButton1->setChecked(true);
  {
    auto* grid = new QGridLayout(GroupBox1);
    grid->setContentsMargins(8, 4, 8, 6);
    grid->setVerticalSpacing(3);
    const std::pair<const char*, QWidget*> left[] = {
        {"Time calculation drift error, second", lab_SSZS},
        {"Time calculation random walk, second", lab_RandWalk},
        {"Bandwidth, Hz", lab_passband},
        {"Vertical earth rate on work place, °/h", lab_U}};
    int row = 0;
    for (const auto& [caption, value] : left) {
      grid->addWidget(new QLabel(QString::fromUtf8(caption), GroupBox1), row, 0);
      grid->addWidget(value, row, 1);
      ++row;
    }
    grid->addWidget(new QLabel(QStringLiteral("Begin time, second"), GroupBox1), 0, 3);
    grid->addWidget(e_beg_time, 1, 3);
    grid->addWidget(new QLabel(QStringLiteral("End time, second"), GroupBox1), 2, 3);
    grid->addWidget(e_end_time, 3, 3);
    auto* sigmas = new QHBoxLayout;
    sigmas->addWidget(RadioButton1);
    sigmas->addWidget(RadioButton2);
    grid->addLayout(sigmas, 4, 3);
    grid->setColumnMinimumWidth(2, 12);
    grid->setColumnStretch(3, 1);
  }

  Label7 = Named(new QLabel(QStringLiteral("Calculation basic parameter"), this), "Label7");
  Label7->setAlignment(Qt::AlignCenter);
  QFont headingFont = Label7->font();
  headingFont.setBold(true);
  Label7->setFont(headingFont);

  ListView2 = Named(new QTableWidget(4, 3, this), "ListView2");
  ListView2->setHorizontalHeaderLabels(
      {QStringLiteral("Name"), QStringLiteral("Value"), QStringLiteral("Dimension")});
  ListView2->verticalHeader()->setVisible(false);
  ListView2->setShowGrid(true);
  ListView2->setSelectionBehavior(QAbstractItemView::SelectRows);
  ListView2->setSelectionMode(QAbstractItemView::SingleSelection);
  ListView2->setEditTriggers(QAbstractItemView::NoEditTriggers);
  ListView2->setColumnWidth(0, 300);
  ListView2->setColumnWidth(1, 120);
  ListView2->setColumnWidth(2, 90);
  ListView2->horizontalHeader()->setStretchLastSection(true);
  for (int row = 0; row < 4; ++row) {
    auto* name = new QTableWidgetItem(QString::fromLatin1(kRowNames[row]));
    auto* value = new QTableWidgetItem(QStringLiteral("0"));
    auto* dimension = new QTableWidgetItem(QString::fromUtf8(kRowDimensions[row]));
    value->setTextAlignment(Qt::AlignCenter);
    dimension->setTextAlignment(Qt::AlignCenter);
    ListView2->setItem(row, 0, name);
    ListView2->setItem(row, 1, value);
    ListView2->setItem(row, 2, dimension);
  }

  but_apply = Named(new QPushButton(QStringLiteral("Apply"), this), "but_apply");
  but_apply->setEnabled(false);
  Button2 = Named(new QPushButton(QStringLiteral("Close"), this), "Button2");
  // Enter in an edit never closes the dialog.
  for (QPushButton* button : {but_apply, Button2}) {
    button->setAutoDefault(false);
    button->setDefault(false);
  }

  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  buttons->addWidget(but_apply);
  buttons->addWidget(Button2);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(GroupBox1);
  layout->addWidget(Label7);
  layout->addWidget(ListView2, 1);
  layout->addLayout(buttons);

  connect(e_beg_time, &QLineEdit::textChanged, this, &TCalculFrm::e_beg_timeChange);
  connect(e_end_time, &QLineEdit::textChanged, this, &TCalculFrm::e_beg_timeChange);
  connect(but_apply, &QPushButton::clicked, this, &TCalculFrm::but_applyClick);
  connect(RadioButton1, &QRadioButton::clicked, this, &TCalculFrm::RadioButton1Click);
  connect(RadioButton2, &QRadioButton::clicked, this, &TCalculFrm::RadioButton2Click);
  connect(Button2, &QPushButton::clicked, this, &TCalculFrm::Button2Click);
}

void TCalculFrm::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  // Once the dialog is on the screen, so that it is seen while a long span
  // is read.
  if (!event->spontaneous())
    QMetaObject::invokeMethod(this, &TCalculFrm::FormShow, Qt::QueuedConnection);
}

void TCalculFrm::FormShow() {
  e_beg_time->setText(FixedText(Begin, 8, 5));
  e_end_time->setText(FixedText(End, 8, 5));
  lab_SSZS->setText(FixedText(Settings.DriftTime, 10, 1));
  lab_RandWalk->setText(FixedText(Settings.RandomWalkTime, 10, 1));
  lab_passband->setText(QString::number(Settings.Passband));
  lab_U->setText(FixedText(Settings.EarthRate, 14, 6));
  but_apply->setEnabled(false);
  Recompute();
}

bool TCalculFrm::Recompute() {
  // Nothing of an earlier reading stays in view while this one runs or
  // when it fails.
  ClearResults();
  if (work_.Running()) {
    // The reading under way is for the old span: it stops, and this one
    // starts when it has.
    work_.Cancel();
    restart_ = true;
    return true;
  }
  Quant.SetSettings(Settings);
  Quant.Begin = Begin;
  Quant.End = End;
  if (RecordingPath.empty()) return false;
  StartReading();
  return true;
}

void TCalculFrm::StartReading() {
  auto error = std::make_shared<std::string>();
  if (Gauge) Gauge(0);
  work_.Start(
      [this, error, path = RecordingPath] {
        TRecordingReader reader;
        if (!reader.Open(path)) {
          *error = reader.Error();
          return;
        }
        const std::int64_t total = reader.Info().RecordCount;
        const std::int64_t step = total / 100 > 0 ? total / 100 : 1;
        std::int64_t read = 0, next = step;
        SamplePoint p;
        while (!Quant.Past && !work_.Cancelled() && reader.Next(p)) {
          Quant.AddPoint(p.Time, p.Rate, p.Temperature);
          if (++read == next) {
            next += step;
            const int percent = static_cast<int>(read * 100 / total);
            work_.Post([this, percent] {
              if (Gauge && work_.Running()) Gauge(percent);
            });
          }
        }
        if (!reader.Error().empty()) *error = path + ": " + reader.Error();
        reader.Close();
        if (!error->empty() || work_.Cancelled()) return;
        Quant.ComputeMean();
        Quant.ComputeDrift();
        Quant.ComputeRandomWalk();
      },
      [this, error] {
        if (Gauge) Gauge(-1);
        if (restart_) {
          restart_ = false;
          Recompute();
          return;
        }
        if (work_.Cancelled() || !isVisible()) {
          Quant.Clear();
          return;
        }
        if (!error->empty()) {
          Quant.Clear();
          Dialogs().Message(this, QStringLiteral("Cannot read the recording %1").arg(QString::fromStdString(*error)),
                            QStringLiteral("Message"), TMsgButtons::Ok, TMsgIcon::Stop);
          return;
        }
        SpanEmpty = Quant.Empty();
        resultsShown_ = true;
        FillResults();
      });
}

void TCalculFrm::ClearResults() {
  resultsShown_ = false;
  for (int row = 0; row < 4; ++row) ListView2->item(row, 1)->setText(QString());
}

void TCalculFrm::RecordingGone() {
  RecordingPath.clear();
  if (work_.Running()) work_.Cancel();
  restart_ = false;
  ClearResults();
}

void TCalculFrm::FillResults() {
  if (!resultsShown_) return;
  const auto rows = BasicParameterRows(Quant, SigmaFactor, DecimalSeparator());
  for (int row = 0; row < 4; ++row) {
    const auto& r = rows[static_cast<std::size_t>(row)];
    ListView2->item(row, 1)->setText(SpanEmpty ? QStringLiteral("NAN")
                                               : QString::fromStdString(r.Value));
    ListView2->item(row, 2)->setText(QString::fromUtf8(r.Dimension));
  }
}

void TCalculFrm::e_beg_timeChange() { but_apply->setEnabled(true); }

void TCalculFrm::but_applyClick() {
  if (!ApplySpanEdits(this, e_beg_time, e_end_time, Series1, Begin, End)) return;
  but_apply->setEnabled(false);
  Recompute();
}

void TCalculFrm::RadioButton1Click() {
  SigmaFactor = 1;
  FillResults();
}

void TCalculFrm::RadioButton2Click() {
  SigmaFactor = 3;
  FillResults();
}

void TCalculFrm::Button2Click() { accept(); }

// A reading still under way stops; it frees the span's records itself when
// it has.
void TCalculFrm::FormClose() {
  if (work_.Running())
    work_.Cancel();
  else
    Quant.Clear();
}

void TCalculFrm::done(int result) {
  FormClose();
  QDialog::done(result);
}
