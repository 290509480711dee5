// The report's trend page (report --history): the unit's past tests from
// the results store, each figure over those tests beside its unit type's
// control chart with this unit's results and this test marked.
#pragma once

#include <QRectF>
#include <functional>
#include <vector>

class QCPPainter;
struct TUnitHistory;

// One piece of the page flow: its height in device units and how it draws.
struct THistoryBlock {
  double Height = 0;
  std::function<void(QCPPainter&, const QRectF&)> Draw;
  bool KeepWithNext = false;  // a heading
};

// The blocks of the trend pages at `dpi`, `width` device units wide; the
// first starts a page.
std::vector<THistoryBlock> HistoryBlocks(const TUnitHistory& history, double dpi, double width);
