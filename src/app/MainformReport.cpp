// File > Report...: the test report of the recording's span on the chart.
#include <cstdlib>
#include <fstream>
#include <sstream>
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
  // The site of the scale-factor page's Earth rate; a malformed file counts
  // as none (the page then names the settings' vertical Earth rate).
  {
    std::ifstream in(SiteFilePath(std::getenv("XDG_CONFIG_HOME"), std::getenv("HOME")), std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    std::string error;
    if (in && !ParseSite(text.str(), request.ScaleFactor.Site, error)) request.ScaleFactor.Site = TSite{};
  }
  ReportFrm->Start(request, Chart->SharedRecording(),
                   ReportLimitsPath(std::getenv("XDG_CONFIG_HOME"), std::getenv("HOME")),
                   ReportDocumentPath(std::getenv("XDG_CONFIG_HOME"), std::getenv("HOME")));
}
