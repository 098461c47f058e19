// The reports command: the last rows the service stored, one per line.
//
//   trevanto-servicio reports --db FILE [--kind checkin|update|acceptance] [--last N]
#pragma once
#include "commands/options.h"

int ListReports(const CommandLine& line);
