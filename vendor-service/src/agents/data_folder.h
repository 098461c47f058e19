// What the service serves, kept in a data folder:
//   notificaciones/<product key>.json   notification document per product
//   notificaciones/default.json         for every other product
//   agente.json                         {"version": "...", "url": "...", "firma": "..."}: the agent
//                                       release on offer ("firma", the vendor's signature, optional)
//   archivos/<path>                     static files for /parches/, /uploads/, ...
#pragma once
#include <string>

#include "agents/contract.h"

inline constexpr char BuiltInDocument[] = "{\"titulo\":\"Alertas\",\"alertas\":[]}";

struct DataFolder {
    std::string root;
};

// True for a product key that can name a document: letters, digits, '_'
// and '-', at most 64 (never a path).
bool IsProductKeyName(const std::string& key);

// The document for a product key; the default one when the key has no
// document of its own (or is not a plain name); a built-in empty document
// when there is no default either.
std::string NotificationDocumentFor(const DataFolder& data, const std::string& productKey);

// The release on offer; false when agente.json is missing or incomplete.
// Members of other types than string read as absent.
bool AgentRelease(const DataFolder& data, contract::AgentOffer& offer);

// The file behind a static request path (already checked to be safe).
std::string StaticFilePath(const DataFolder& data, const std::string& requestPath);

// The service's secret (signing installation ids and offer tokens), kept
// in "secreto.key" in the data folder: read, or written (readable by the
// owner only) when there is none: `fallback` when given, else a new one.
// False with the reason.
bool LoadOrMakeSecret(const DataFolder& data, const std::string& fallback, std::string& secret, std::string& error);
// The data folder's secret when there is one (and usable), without making it.
enum class SecretFile { Read, Missing, Unusable };
SecretFile ReadSecret(const DataFolder& data, std::string& secret, std::string& error);

// The whole content of a file; false when it cannot be read.
bool ReadWholeFile(const std::string& path, std::string& content);
