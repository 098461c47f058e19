// The operator's commands on releases, rollouts and console accounts. They
// work on the store directly, beside a running service (which reads the
// rollouts again within a second).
//
//   trevanto-servicio release add --data DIR [--db FILE] --product P --version V
//       (--file paquetes/NAME | --url https://... --size BYTES --sha256 HEX) [--host NAME]
//       [--signature TEXT]   (the package's signature, as `signing sign` prints it)
//   trevanto-servicio release list --db FILE
//   trevanto-servicio rollout start --db FILE --release ID (--replaces V1,V2 | [--from V] [--to V])
//       [--pilot HOST,HOST] [--stages 1,10,50,100] [--min-outcomes N] [--max-failures N]
//       [--max-failure-percent P] [--soak-minutes M] [--manual] [--retry-hours H] [--max-attempts N]
//   trevanto-servicio rollout list --db FILE
//   trevanto-servicio rollout pause|resume|advance|halt --db FILE --id N
//   trevanto-servicio operator add --db FILE --name NAME   (the password on standard input)
#pragma once
#include "commands/options.h"

int ReleaseCommand(const CommandLine& line);
int RolloutCommandLine(const CommandLine& line);
int OperatorCommand(const CommandLine& line);
