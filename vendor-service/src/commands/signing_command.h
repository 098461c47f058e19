// The vendor's signing, on the vendor's own machine (never on the serving
// host): it prints texts for the agent's build settings and for releases.
//
//   trevanto-servicio signing keygen --key FILE      a new key pair; prints the public key
//   trevanto-servicio signing public --key FILE      prints the public key again
//   trevanto-servicio signing sign --key FILE --file PACKAGE
//                                                    prints the package's signature ("firma")
//   trevanto-servicio signing statement --key FILE --kind programa|agente|instalador [--product KEY]
//                                       --version V --file PATH [--name NAME]
//                                                    prints the release statement of the file (NAME:
//                                                    its base name unless given) as one line, the JSON
//                                                    members to add to an offer cell or agente.json, or
//                                                    the text to publish beside the installer's archive
//   trevanto-servicio signing verify --public-key TEXT --file PACKAGE --signature TEXT
//                                                    exit status 0 when it verifies, 1 when not
#pragma once
#include "commands/options.h"

int SigningCommand(const CommandLine& line);
