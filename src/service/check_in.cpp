#include "service/check_in.h"

// Pending: the check-in is not built yet; no request is sent.
void CheckIn() {}
