// The report's scale-factor page: the rate-table test's plateaus, figures
// with their uncertainties and definitions, and the residual plot. Laid out
// as blocks of known height that the report's page flow places.
#pragma once

#include <QRectF>
#include <functional>
#include <vector>

#include "report/ReportContent.h"

class QCPPainter;

struct TReportPageBlock {
  double Height = 0;  // device units
  std::function<void(QCPPainter&, const QRectF&)> Draw;
  bool Tight = false;         // no space after it (a row of a long table)
  bool KeepWithNext = false;  // a heading
  bool PageBefore = false;    // starts a new page
};

// Nothing where the recording holds no rate-table test. `dpi`: the
// device's resolution; `width`: the text width in device units.
std::vector<TReportPageBlock> ScaleFactorBlocks(const TReportContent& c, double dpi, double width);
