#include "update/package_checks.h"

bool StartsWithMz(const std::vector<unsigned char>& bytes) {
    return bytes.size() >= 2 && bytes[0] == 'M' && bytes[1] == 'Z';
}

unsigned long WriteErrorCode(bool writeSucceeded, unsigned long written, unsigned long wanted,
                             unsigned long lastError) {
    if (!writeSucceeded) return lastError;
    return written < wanted ? DiskFullError : 0;
}
