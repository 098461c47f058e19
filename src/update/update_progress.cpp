#include "update/update_progress.h"

std::atomic<std::int32_t> UpdateStep{0};
