// Cursors A and B and the markers of the main window's chart. A click on a
// recording places cursor A, Shift+click cursor B; the keys A and B place
// them under the mouse (or mid-chart), Left and Right move the one placed
// last by a pixel (Shift: ten), Escape removes both. The read-out at the
// top of the chart gives time, rate, average and temperature at each and
// what lies between them; with both placed, the analyses take the span
// between them. M adds a marker: during a run at the newest record, on a
// recording at cursor A (or under the mouse).
#include <QAction>
#include <QDialog>
#include <QCursor>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>
#include <qcustomplot.h>

#include "app/Mainform.h"
#include "processing/NumberFormat.h"
#include "ui/Chart.h"
#include "ui/Cursors.h"
#include "ui/NumberText.h"

namespace {

QString Number(double v, int digits = 6) {
  if (!std::isfinite(v)) return QStringLiteral("\u2014");
  return QString::fromStdString(FormatGeneral(v, DecimalSeparator(), digits));
}

QCPItemStraightLine* VerticalLine(QCustomPlot* chart, const QPen& pen, const char* name) {
  auto* line = new QCPItemStraightLine(chart);
  line->setObjectName(QString::fromLatin1(name));
  line->setPen(pen);
  line->point1->setType(QCPItemPosition::ptPlotCoords);
  line->point2->setType(QCPItemPosition::ptPlotCoords);
  line->setSelectable(false);
  return line;
}

void PlaceLine(QCPItemStraightLine* line, double time) {
  line->setVisible(std::isfinite(time));
  if (!std::isfinite(time)) return;
  line->point1->setCoords(time, 0);
  line->point2->setCoords(time, 1);
}

}  // namespace

void TMainFrm::CreateCursors() {
  cursorLine_[0] = VerticalLine(Chart1, QPen(QColor(200, 0, 120), 1.5), "CursorA");
  cursorLine_[1] = VerticalLine(Chart1, QPen(QColor(0, 120, 200), 1.5), "CursorB");
  for (QCPItemStraightLine* line : cursorLine_) line->setVisible(false);
  CursorInfo = new QLabel(Chart1);
  CursorInfo->setObjectName(QStringLiteral("CursorInfo"));
  CursorInfo->setTextFormat(Qt::PlainText);
  CursorInfo->setStyleSheet(
      QStringLiteral("QLabel { background: rgba(255,255,255,220); border: 1px solid #999; padding: 2px; }"));
  CursorInfo->setVisible(false);
  Chart1->setFocusPolicy(Qt::ClickFocus);
  Chart1->installEventFilter(this);
  connect(Chart1, &QCustomPlot::mousePress, this, [this](QMouseEvent* event) {
    cursorPressedAt_ = event->position().toPoint();
  });
  connect(Chart1, &QCustomPlot::mouseRelease, this, [this](QMouseEvent* event) {
    // A click, not a rubber band: within a few pixels of where it was pressed.
    if (event->button() != Qt::LeftButton ||
        (event->position().toPoint() - cursorPressedAt_).manhattanLength() > 3)
      return;
    const double time = Chart1->xAxis->pixelToCoord(event->position().x());
    PlaceCursor((event->modifiers() & Qt::ShiftModifier) ? 1 : 0, time);
  });
}

bool TMainFrm::CursorsAllowed() const { return !Busy() && OpenFile.Loaded && Chart->Recording(); }

double TMainFrm::TimeUnderMouse() const {
  const QPoint at = Chart1->mapFromGlobal(QCursor::pos());
  const QRect plot = Chart1->axisRect()->rect();
  if (plot.contains(at)) return Chart1->xAxis->pixelToCoord(at.x());
  return Chart1->xAxis->range().center();
}

void TMainFrm::PlaceCursor(int which, double time) {
  if (!CursorsAllowed() || !std::isfinite(time)) return;
  // On the nearest record, so that the read-out names a record of the file.
  const TCursorPoint p = CursorPoint(*Chart->Recording(), time);
  if (!p.Valid) return;
  (which == 0 ? CursorA : CursorB) = p.Time;
  lastCursor_ = which;
  RefreshCursors();
}

void TMainFrm::MoveCursor(int pixels) {
  if (!CursorsAllowed()) return;
  const double current = lastCursor_ == 0 ? CursorA : CursorB;
  if (!std::isfinite(current)) return;
  const double x = Chart1->xAxis->coordToPixel(current) + pixels;
  // At least to the next record, also where records lie closer than a pixel.
  const TRecordingSeries& r = *Chart->Recording();
  const std::int64_t i = r.Nearest(current);
  const std::int64_t next = std::clamp<std::int64_t>(i + (pixels > 0 ? 1 : -1), 0, r.Size() - 1);
  double time = Chart1->xAxis->pixelToCoord(x);
  if (pixels > 0 ? time < r.Key(next) : time > r.Key(next)) time = r.Key(next);
  PlaceCursor(lastCursor_, time);
}

void TMainFrm::ClearCursors() {
  CursorA = CursorB = NAN;
  RefreshCursors();
}

void TMainFrm::RefreshCursors() {
  if (!built_) return;
  const bool on = Chart->Recording() != nullptr;
  if (!on) CursorA = CursorB = NAN;
  PlaceLine(cursorLine_[0], CursorA);
  PlaceLine(cursorLine_[1], CursorB);
  if (!std::isfinite(CursorA) && !std::isfinite(CursorB)) {
    CursorInfo->setVisible(false);
    Chart1->replot(QCustomPlot::rpQueuedReplot);
    return;
  }
  const TCursorReadOut r = CursorReadOut(*Chart->Recording(), CursorA, CursorB);
  LastReadOut = r;
  const QString rate = RateUnitPerSec ? QStringLiteral("\u00B0/s") : QStringLiteral("\u00B0/h");
  QStringList lines;
  const auto point = [&](const char* name, const TCursorPoint& p) {
    if (!p.Valid) return;
    lines << QStringLiteral("%1: t %2 s   rate %3 %4   average %5 %4   %6 \u00B0C")
                 .arg(QString::fromLatin1(name), Number(p.Time, 9), Number(p.Rate), rate, Number(p.Average),
                      Number(p.Temperature, 4));
  };
  point("A", r.A);
  point("B", r.B);
  if (r.A.Valid && r.B.Valid) {
    lines << QStringLiteral("B\u2212A: \u0394t %1 s   \u0394rate %2 %3").arg(Number(r.Dt, 9), Number(r.DRate), rate);
    lines << QStringLiteral("between: mean %1 %2   RMS %3 %2   %4 \u00B0C   (the analyses take this span)")
                 .arg(Number(r.Mean), rate, Number(r.Rms), Number(r.TemperatureMean, 4));
  } else {
    lines << QStringLiteral("Shift+click (or B) places cursor B; Escape removes the cursors");
  }
  CursorInfo->setText(lines.join(QLatin1Char('\n')));
  CursorInfo->adjustSize();
  const QRect plot = Chart1->axisRect()->rect();
  CursorInfo->move(plot.left() + 6, plot.top() + 6);
  CursorInfo->setVisible(true);
  CursorInfo->raise();
  Chart1->replot(QCustomPlot::rpQueuedReplot);
}

void TMainFrm::AnalysisSpan(double& begin, double& end) const {
  if (std::isfinite(CursorA) && std::isfinite(CursorB) && CursorA != CursorB) {
    begin = std::min(CursorA, CursorB);
    end = std::max(CursorA, CursorB);
    return;
  }
  const QCPRange visible = Chart1->xAxis->range();
  begin = visible.lower;
  end = visible.upper;
}

bool TMainFrm::ChartKey(QKeyEvent* event) {
  switch (event->key()) {
    case Qt::Key_Left:
    case Qt::Key_Right: {
      const int step = (event->modifiers() & Qt::ShiftModifier) ? 10 : 1;
      MoveCursor(event->key() == Qt::Key_Left ? -step : step);
      return true;
    }
    case Qt::Key_Escape:
      ClearCursors();
      return true;
    default:
      return false;
  }
}

// ---------------------------------------------------------------------------
// Markers.

void TMainFrm::ac_markerExecute() {
  double time = NAN;
  std::string recording;
  if (RunActive()) {
    if (!Recording) {
      Dialogs().Message(this, QStringLiteral("This run is not recorded: a marker needs a recording to be kept with."),
                        QStringLiteral("Message"), TMsgButtons::Ok, TMsgIcon::Information);
      return;
    }
    time = Display.time;
    recording = RecordFileName;
    if (!(time > 0)) {
      Dialogs().Message(this, QStringLiteral("No record has arrived yet: a marker needs a time."),
                        QStringLiteral("Message"), TMsgButtons::Ok, TMsgIcon::Information);
      return;
    }
  } else if (CursorsAllowed()) {
    time = std::isfinite(CursorA) ? CursorA : CursorPoint(*Chart->Recording(), TimeUnderMouse()).Time;
    recording = ShownFileName;
  } else {
    return;
  }
  QString note;
  if (!Dialogs().InputText(this, QStringLiteral("Marker"),
                           QStringLiteral("Note at %1 s").arg(Number(time, 9)), note))
    return;
  if (recording != markersRecording_) {
    Markers.clear();
    markersRecording_ = recording;
  }
  Markers.push_back({time, note.toStdString()});
  std::stable_sort(Markers.begin(), Markers.end(),
                   [](const TMarker& a, const TMarker& b) { return a.Time < b.Time; });
  SaveMarkersNow();
  ShowMarkers();
}

void TMainFrm::SaveMarkersNow() {
  std::string error;
  if (markersRecording_.empty() || SaveMarkers(markersRecording_, Markers, error)) return;
  QueueMessage(QStringLiteral("The markers cannot be kept: %1").arg(QString::fromLocal8Bit(error.c_str())),
               TMsgIcon::Warning);
}

void TMainFrm::LoadMarkersOf(const std::string& recording) {
  Markers.clear();
  for (std::vector<TMarker>& automatic : AutoMarkers) automatic.clear();
  markersRecording_ = recording;
  std::string error;
  if (!recording.empty() && !LoadMarkers(recording, Markers, error))
    QueueMessage(QStringLiteral("The markers cannot be read: %1").arg(QString::fromLocal8Bit(error.c_str())),
                 TMsgIcon::Warning);
  ShowMarkers();
}

void TMainFrm::SetAutoMarkers(TAutoMarkers source, std::vector<TMarker> markers) {
  AutoMarkers[source] = std::move(markers);
  ShowMarkers();
}

void TMainFrm::ShowMarkers() {
  for (QCPAbstractItem* item : markerItems_) Chart1->removeItem(item);
  markerItems_.clear();
  const auto show = [this](const TMarker& m, bool automatic) {
    auto* line = VerticalLine(Chart1,
                              automatic ? QPen(QColor(70, 110, 170), 1, Qt::DashDotLine)
                                        : QPen(QColor(230, 120, 0), 1, Qt::DotLine),
                              automatic ? "AutoMarker" : "Marker");
    PlaceLine(line, m.Time);
    auto* text = new QCPItemText(Chart1);
    text->setObjectName(automatic ? QStringLiteral("AutoMarkerText") : QStringLiteral("MarkerText"));
    text->position->setTypeX(QCPItemPosition::ptPlotCoords);
    text->position->setTypeY(QCPItemPosition::ptAxisRectRatio);
    // The analyses' notes stand lower, so that a user's note at the same
    // time stays readable.
    text->position->setCoords(m.Time, automatic ? 0.6 : 0.98);
    text->setPositionAlignment(Qt::AlignLeft | Qt::AlignBottom);
    text->setRotation(-90);
    text->setColor(automatic ? QColor(40, 80, 140) : QColor(170, 80, 0));
    text->setBrush(QColor(255, 255, 255, 210));  // readable over a noisy trace
    text->setText(QString::fromStdString(m.Note));
    markerItems_.push_back(line);
    markerItems_.push_back(text);
  };
  for (const TMarker& m : Markers) show(m, false);
  for (const std::vector<TMarker>& automatic : AutoMarkers)
    for (const TMarker& m : automatic) show(m, true);
  if (MarkersList) FillMarkersList();
  Chart1->replot(QCustomPlot::rpQueuedReplot);
}

void TMainFrm::ac_markersExecute() {
  if (!MarkersList) {
    MarkersList = new QDialog(this);
    MarkersList->setObjectName(QStringLiteral("MarkersList"));
    MarkersList->setWindowTitle(QStringLiteral("Markers"));
    MarkersList->resize(420, 300);
    markersTable_ = new QTableWidget(0, 3, MarkersList);
    markersTable_->setObjectName(QStringLiteral("MarkersTable"));
    markersTable_->setHorizontalHeaderLabels({QStringLiteral("Time, s"), QStringLiteral("Note"), QStringLiteral("Kind")});
    markersTable_->horizontalHeader()->setSectionResizeMode(2, QHeaderView::ResizeToContents);
    markersTable_->horizontalHeader()->setStretchLastSection(true);
    markersTable_->verticalHeader()->setVisible(false);
    markersTable_->setSelectionBehavior(QAbstractItemView::SelectRows);
    markersTable_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    auto* remove = new QPushButton(QStringLiteral("Remove"), MarkersList);
    remove->setObjectName(QStringLiteral("BtnRemoveMarker"));
    auto* layout = new QVBoxLayout(MarkersList);
    layout->addWidget(markersTable_);
    layout->addWidget(remove, 0, Qt::AlignRight);
    // A marker chosen in the list: cursor A goes to it.
    connect(markersTable_, &QTableWidget::cellDoubleClicked, this, [this](int row, int) {
      if (row < 0 || row >= markersTable_->rowCount()) return;
      if (const QTableWidgetItem* time = markersTable_->item(row, 0)) PlaceCursor(0, time->data(Qt::UserRole).toDouble());
    });
    // Only the user's own markers can be removed: the analyses' come back
    // with the analysis.
    connect(remove, &QPushButton::clicked, this, [this] {
      const int row = markersTable_->currentRow();
      if (row < 0 || row >= static_cast<int>(markerRows_.size())) return;
      const std::ptrdiff_t index = markerRows_[static_cast<std::size_t>(row)];
      if (index < 0 || index >= static_cast<std::ptrdiff_t>(Markers.size())) return;
      Markers.erase(Markers.begin() + index);
      SaveMarkersNow();
      ShowMarkers();
    });
  }
  FillMarkersList();
  MarkersList->show();
  MarkersList->raise();
}

void TMainFrm::FillMarkersList() {
  // The user's markers and the analyses' in one list by time (of equal
  // times the user's first).
  struct TRow {
    const TMarker* marker;
    std::ptrdiff_t index;
  };
  std::vector<TRow> rows;
  for (std::size_t i = 0; i < Markers.size(); ++i) rows.push_back({&Markers[i], static_cast<std::ptrdiff_t>(i)});
  for (const std::vector<TMarker>& automatic : AutoMarkers)
    for (const TMarker& m : automatic) rows.push_back({&m, -1});
  std::stable_sort(rows.begin(), rows.end(), [](const TRow& a, const TRow& b) { return a.marker->Time < b.marker->Time; });
  markerRows_.clear();
  markersTable_->setRowCount(static_cast<int>(rows.size()));
  for (int row = 0; row < static_cast<int>(rows.size()); ++row) {
    const TRow& r = rows[static_cast<std::size_t>(row)];
    markerRows_.push_back(r.index);
    auto* time = new QTableWidgetItem(Number(r.marker->Time, 9));
    time->setData(Qt::UserRole, r.marker->Time);
    time->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
    markersTable_->setItem(row, 0, time);
    markersTable_->setItem(row, 1, new QTableWidgetItem(QString::fromStdString(r.marker->Note)));
    markersTable_->setItem(row, 2, new QTableWidgetItem(r.index < 0 ? QStringLiteral("automatic") : QStringLiteral("user")));
  }
}
