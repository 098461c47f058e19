#include "housekeeping/startup_archiving.h"

// Pending: packing of the backup folders is not built yet; this does nothing.
void RunStartupArchiving() {}
