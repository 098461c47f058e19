#include "selfupdate/self_update.h"

// Pending: the self-update check is not built yet; it never offers an update.
bool CheckSelfUpdate(const std::wstring&) { return false; }
