// The audit log: every change an operator, a token, the command line or
// the service itself made (a release added, a rollout started, paused,
// resumed, advanced, halted, retried; a webhook, an operator or a token
// changed), with who and when.
#pragma once
#include <cstdint>
#include <string>

#include "storage/database.h"

namespace audit_action {
inline constexpr char ReleaseAdded[] = "versión añadida";
inline constexpr char PackageUploaded[] = "paquete subido";
inline constexpr char RolloutStarted[] = "despliegue iniciado";
inline constexpr char RolloutPaused[] = "despliegue pausado";
inline constexpr char RolloutResumed[] = "despliegue reanudado";
inline constexpr char RolloutAdvanced[] = "despliegue avanzado";
inline constexpr char RolloutFinished[] = "despliegue terminado";
inline constexpr char RolloutHalted[] = "despliegue detenido";
inline constexpr char RolloutAcknowledged[] = "detención reconocida";
inline constexpr char RolloutRetried[] = "fallidas reintentadas";
inline constexpr char WebhookChanged[] = "aviso cambiado";
inline constexpr char OperatorChanged[] = "operador cambiado";
inline constexpr char TokenChanged[] = "token cambiado";
}  // namespace audit_action

// Who did it when the service decided by itself.
inline constexpr char ServiceActor[] = "el servicio";
// Who did it from the operator's command line.
inline constexpr char CommandLineActor[] = "línea de comandos";

struct AuditEntry {
    std::string actor;   // an operator's name, "token «name»", the command line, the service
    std::string action;  // one of audit_action
    std::string target;  // "despliegue 7", "versión 3", "operador ana"
    std::string detail;
};

// One entry, in the transaction open on `db` (or on its own).
SqlResult RecordAudit(const Database& db, const AuditEntry& entry, int64_t unixSeconds);

// Every action word, for the log's filter.
const char* const* AuditActions(size_t& count);
