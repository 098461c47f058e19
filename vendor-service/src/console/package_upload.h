// Packages uploaded through the console's API: the body is streamed by the
// server into a file of its own in archivos/.subiendo/ (never held in
// memory, hashed as it arrives, bounded by --upload-max-mb), and published
// under archivos/paquetes/ by a link that never replaces a file already
// there. A release then names it (paquetes/NAME).
#pragma once
#include <string>

#include "console/console_call.h"
#include "routes/routes.h"

namespace package_upload {
inline constexpr char Path[] = "/panel/api/paquetes";
inline constexpr char Folder[] = "archivos/.subiendo";  // in the data folder
inline constexpr int AtOnce = 2;                         // uploads in progress at most
inline constexpr size_t MaxNameBytes = 100;
}  // namespace package_upload

// The head of an upload: admitted with a file of its own when a session or a
// token is shown and fewer than AtOnce uploads are in progress.
Admission AdmitUpload(const ServiceContext& context, const Request& head);

// A package's name: letters, digits, '.', '_' and '-', not starting with a dot.
bool IsPackageName(const std::string& name);

// POST /panel/api/paquetes?nombre=NAME once its caller is known; false for other paths.
bool RouteUpload(const CallPtr& call, const Database& db);
