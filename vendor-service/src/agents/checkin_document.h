// The check-in's answer: the product's notification document, with
// "sha256" added to the update offers that name a file served here, and
// the addresses of RTF documents served here marked for a token that ties
// their acceptance to the installation.
#pragma once
#include <memory>
#include <string>
#include <vector>

#include "agents/file_hashes.h"

// The request path of an "https://<host>/<path>" link whose host is one of
// `hosts` (any letter case, no port or user); query and fragment dropped,
// %XX escapes decoded. False for any other link.
bool LinkPathOnHosts(const std::string& link, const std::vector<std::string>& hosts, std::string& path);

struct DocumentPlan;

// What stands for the acceptance token in a composed answer: its value, and
// its text in the JSON (a string no document holds: control characters are
// written escaped).
inline constexpr char AcceptanceSlotValue[] =
    "\x02"
    "aceptacion"
    "\x02";
inline constexpr char AcceptanceSlotText[] = "\\u0002aceptacion\\u0002";

// True when the plan marks documents for an acceptance token.
bool MarksDocuments(const DocumentPlan& plan);

// Reads a document and finds the cells of "url_actualizar" items whose
// "enlace" names a served file and that have no "sha256" of their own, and
// the "documento_rtf" items whose "enlace" names a served file.
std::shared_ptr<DocumentPlan> PlanDocument(const std::string& document, const std::vector<std::string>& hosts);

// The request paths whose hashes the plan needs (none for a document that
// is not a JSON object or names no served file).
const std::vector<std::string>& HashesNeeded(const DocumentPlan& plan);

// The document with each needed cell's "sha256" from `hashes` (cells whose
// hash is "" get none), and each served document's address with
// "a=<AcceptanceSlotValue>". The document's own bytes when nothing was added.
std::string FinishDocument(const DocumentPlan& plan, const HashResults& hashes);

// The same, with `slot` (a JSON string value) as one more item at the end of
// "alertas", so a caller can put an item of its own in its place; empty for
// a document that is not a JSON object.
std::string FinishDocumentWithSlot(const DocumentPlan& plan, const HashResults& hashes, const std::string& slot);
