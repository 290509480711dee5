// The test report as pages: A4 portrait, drawn with vector graphics and
// real text (selectable, fonts embedded) by Qt's PDF writer, or on any
// paged device (a printer of the preview). The rate chart is the window's
// own chart drawing (TRateChart on a QCustomPlot) from the compact
// recording store, sampled at the page's resolution; the Allan deviation
// plot likewise. Must run on the thread of the QApplication (the plots are
// widgets that are never shown).
#pragma once

#include <QString>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "report/ReportContent.h"

class QPagedPaintDevice;
class TRecordingSeries;

// The chart's points of a recording, read as the window reads them (the
// running average with the settings' averaging time, rates in deg/h).
// Null with `error` when the file cannot be read.
std::shared_ptr<TRecordingSeries> LoadChartData(const std::string& path,
                                                const TOptionProgramm& settings,
                                                std::string& error);

// Lays the report out on `device` (set to A4 portrait here). `chart` may be
// null (the chart's place then says so). Returns the number of pages; 0
// when painting could not start.
int RenderReport(const TReportContent& content, std::shared_ptr<TRecordingSeries> chart,
                 QPagedPaintDevice& device);

// The report as a PDF file at `path`. Refuses a recording's name
// (".rtd"). False with `error` when the file cannot be written.
bool WriteReportPdf(const TReportContent& content, std::shared_ptr<TRecordingSeries> chart,
                    const QString& path, QString& error);

// The batch form: one summary (the batch table with each unit's result and
// the page where its report starts, and every unit's Allan deviation on
// one plot, each curve labelled "k: identification"), then each unit's own
// report exactly as RenderReport makes it (its own page numbers). `chart`
// gives the chart's points of unit k when its pages are painted (null with
// the error: the report stops). Returns the number of pages; 0 when
// painting could not start or a chart was missing (error set).
using TChartSource = std::function<std::shared_ptr<TRecordingSeries>(std::size_t unit, std::string& error)>;
int RenderBatchReport(const std::vector<TReportContent>& units, const TChartSource& chart,
                      QPagedPaintDevice& device, QString& error);
bool WriteBatchReportPdf(const std::vector<TReportContent>& units, const TChartSource& chart,
                         const QString& path, QString& error);
