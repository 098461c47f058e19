// The store command: every row kept, from one store into a new one.
//
//   trevanto-servicio store copy --from FILE|CONNECTION --to FILE|CONNECTION
//
// Stop the instances first: rows that arrive during the copy stay behind.
#pragma once
#include "commands/options.h"

int StoreCommand(const CommandLine& line);
