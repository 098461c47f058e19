// Whether an updated program proved itself by starting, and the record
// that keeps a watch across an agent ended in the middle of it. No Win32
// here.
#pragma once
#include <string>

// How long the start after an update is watched. A program that cannot
// start at all (a missing DLL, a wrong architecture, a crash in its first
// steps) ends within a second or two, also under an antivirus scan; a
// business program shows its first window within seconds. 30 s covers a
// slow machine's cold start and keeps the agent no longer than that.
inline constexpr unsigned long StartWatchMs = 30000;

// What a watched start came to.
struct StartObservation {
    bool launched = false;        // the shell started a process
    unsigned long launchCode = 0;  // the shell's result (32 or less) or the system error when not
    bool ended = false;           // the process ended within the watch
    unsigned long exitCode = 0;
    bool stoppedMeanwhile = false;  // an update (of another agent in the folder) stopped the program meanwhile
};

// Proven: still running at the end of the watch, or ended by itself with
// exit code 0 (its user closed it at once). Anything else failed: no
// process, or an end within the watch with any other code (an unhandled
// exception, a loader status such as 0xC0000135).
bool StartProven(const StartObservation& observation);

// Neither: the program ended with a failure code after an update stopped
// it (taskkill ends it with 1); nothing is known of its start.
bool StartInterrupted(const StartObservation& observation);

// The code a failed start is reported and journalled with: the exit code,
// or the shell's result when nothing was started.
unsigned long StartFailureCode(const StartObservation& observation);

// What the agent keeps while it watches a start (actualizador_registros),
// so that a watch cut short is finished at the next start.
struct PendingStartWatch {
    std::string exeName;         // the program's executable in the folder
    std::string previousCopy;    // the backup of the program the update replaced (empty: none)
    std::string productKey;
    std::string settingsKey;
    std::string previousVersion;
    std::string newVersion;
    std::string url;             // the offer's address, token included
    bool zipPackage = false;     // the update ran a package's script and server component
    bool restored = false;       // the previous program is back: no second restore
};

inline constexpr char PendingStartWatchFileName[] = "vigilancia_arranque.txt";
// The record is small: anything longer is not read.
inline constexpr size_t PendingStartWatchLimit = 16384;

// "clave=valor" lines in a fixed order; values hold no line break.
std::string PendingStartWatchText(const PendingStartWatch& watch);

// False for any text that is not such a record (a line missing, out of
// order or holding a line break, a longer text).
bool ParsePendingStartWatch(const std::string& text, PendingStartWatch& watch);
