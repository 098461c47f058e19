// The start after an update, watched: an updated program that does not
// start is put back from the backup the update made, reported, and the
// previous one started (and watched) again.
#pragma once
#include <string>

#include "update/start_watch_rules.h"

// The worker's word to the window, given before it posts that it has
// finished: the program it installed (taken once; nothing when the update
// installed no new executable of the program).
void NoteInstalledProgram(const PendingStartWatch& installed);
bool TakeInstalledProgram(PendingStartWatch& installed);

// Starts the program of the folder and watches its start on a thread of its
// own (StartWatchMs), first keeping the watch in the record folder, so that
// an agent ended meanwhile finishes it at its next start. A failed start
// puts the previous program back (once per update), reports
// "ARRANQUE_FALLIDO" for the offer, and starts and watches that one.
void StartWatched(const std::wstring& appFolder, const PendingStartWatch& watch);

// At start: a watch an earlier run left unfinished is begun again (the
// program is started and watched, unless it is running already); the caller
// waits for it (WaitForStartWatches) before anything packs the backups.
void FinishPendingStartWatch(const std::wstring& appFolder);

// Said before the folder's program is stopped (by any agent of the folder),
// so that a watch does not take that end for a failed start.
void NoteProgramStopping(const std::wstring& appFolder);

// Waits for every watch this run started (the agent ends only after them).
void WaitForStartWatches();
