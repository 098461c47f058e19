// The serve command: the vendor service until SIGTERM or SIGINT.
//
//   trevanto-servicio serve --data DIR (--cert FILE --key FILE | --plain)
//       [--address A] [--port P] [--threads N] [--db FILE] [--log FILE]
//       [--api-key KEY] [--checkin-path PATH] [--host NAME]...
//       [--rate N] [--burst N] [--retention-days N] [--store-max-mb N]
//       [--queue-mb N] [--hash-settle-ms N] [--max-connections N]
//       [--panel-address A --panel-port P]   (the console on an address of its own)
#pragma once
#include "commands/options.h"

// The exit code: 0 after a signal, 1 when the service could not start
// (database, certificate, address), 2 for a wrong command line or a
// database whose layout is refused.
int Serve(const CommandLine& line);
