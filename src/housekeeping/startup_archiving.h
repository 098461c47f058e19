// Packing of old backup folders at every start.
#pragma once

void RunStartupArchiving();
