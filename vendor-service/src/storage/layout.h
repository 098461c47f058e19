// The store's layout, versioned: SQLite keeps the version in its
// user_version, PostgreSQL in the table trevanto_layout. The service
// brings a store to the current layout itself, in one transaction, or
// refuses it with the reason; it never works on a half-upgraded store.
//
//   0  an empty file, or SQLite's first layout (its version was never
//      written): the three report tables, each row's members also as JSON
//   1  the same tables without the JSON copy (the raw body holds it all)
//   2  installations, releases, rollouts and each installation's place in
//      them; check-ins and update reports name their installation (and
//      rollout); operators and their sessions for the console; the
//      service's secret (PostgreSQL's layouts start here)
//   3  an update report is stored once however often it is sent (its
//      report_id is unique; copies already stored are removed, the first kept);
//      what each instance's rate limiter let through, for the others
//   4  a release carries the vendor's signature of its package
//   5  outcomes that count: each installation's first sighting (to the
//      millisecond), its network and the days it was seen on; a rollout's
//      start and the rules of who counts; each installation's outcome
//      counted or not, and from which network; a stage's counts per
//      network; report rows marked when their installation has no history
//      (trimmed first); acceptances tied to their installation
//   6  a release carries the vendor's statement of its package
//   7  an installation's outcome marks when its agent put the previous
//      program back (the release did not start)
//   8  the console a release manager runs a release from: operators'
//      roles, the audit log, API tokens, webhooks and their queued
//      deliveries, a rollout's outcomes per hour and failures by step and
//      code, failures acknowledged on resuming, outcomes before a retry
#pragma once
#include <string>

#include "storage/database.h"

inline constexpr int CurrentLayout = 8;

enum class LayoutOutcome {
    Ready,    // the store has the current layout now
    Refused,  // its layout is one this service cannot use or upgrade
    Failed,   // it could not be read or written
};

// Brings the store to `target` (the current layout; an older one only for
// the tests of an upgrade).
LayoutOutcome PrepareLayout(const Database& db, std::string& error, long long target = CurrentLayout);

// The layout version the store has now; -1 when it cannot be read.
long long LayoutVersion(const Database& db);

// Runs statements separated by ";" at line ends (DDL), stopping at the first error.
SqlResult RunScript(const Database& db, const std::string& script);
