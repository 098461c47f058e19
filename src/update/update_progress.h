// The update's step index, shared between the worker (writer) and the
// alerts window (reader): 0 "Descargando...", 1 "Descomprimiendo...",
// 2 "Instalando...", 3 "Listo". No Win32 here.
#pragma once
#include <atomic>
#include <cstdint>

extern std::atomic<std::int32_t> UpdateStep;
