// JSON renderings of the tool reports, for the command line (which prints
// them with --json or formats them as text).
#pragma once

#include <string>

#include "tools/checker.h"
#include "tools/compactor.h"

namespace ambrik::tools {

std::string to_json(const CheckReport& report);
std::string to_json(const StatsReport& report);
std::string to_json(const CompactReport& report);

}  // namespace ambrik::tools
