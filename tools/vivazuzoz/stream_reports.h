// stream_reports.h - what `vivazuzoz stream` prints: its reports and
// summary, and its alarm changes, as text for people or JSON lines.
#pragma once

#include "progress.h"
#include "regions.h"
#include "watches.h"

#include <string>
#include <vector>

namespace vivatool {

// One report: the stream's figures and, of the latest frame, each region's.
struct Report {
    StreamFigures figures;
    std::vector<RegionFigures> latest;
};

// The stream's line (DescribeStream) and, per region, "; NAME min X max Y
// mean Z" of the latest frame.
std::string ReportText(const Report& report, const std::vector<Region>& regions);

// {"type":TYPE,"seconds",...,"regions":{...}}; TYPE is "report" or "summary".
std::string ReportJson(const char* type, const Report& report, const std::vector<Region>& regions);

// "ALARM raised: plate max 80.3 is above 80.0 (frame 12, 0.5 s)" or
// "Alarm cleared: ...".
std::string AlarmText(const AlarmEvent& e);

// {"type":"alarm","event":"raised"|"cleared",...}.
std::string AlarmJson(const AlarmEvent& e);

}  // namespace vivatool
