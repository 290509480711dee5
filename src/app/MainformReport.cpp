// File > Report...: the test report of the recording's span on the chart.
#include <cstdlib>
#include <qcustomplot.h>

#include "app/Mainform.h"
#include "report/ReportForm.h"
#include "ui/Chart.h"

void TMainFrm::ac_reportExecute() {
  if (!OpenFile.Loaded || SeriesSize(Series1) == 0 || !Chart->Recording()) return;
  if (!ReportFrm) ReportFrm = new TReportFrm(this);
  TReportRequest request;
  request.Path = OpenFile.RecordingName;
  AnalysisSpan(request.Begin, request.End);
  request.Settings.Assign(OpenFile);
  request.CodePage = UserHeaderCodePage();
  ReportFrm->Start(request, Chart->SharedRecording(),
                   ReportLimitsPath(std::getenv("XDG_CONFIG_HOME"), std::getenv("HOME")),
                   ReportDocumentPath(std::getenv("XDG_CONFIG_HOME"), std::getenv("HOME")));
}
