// The start-up status exchange with the vendor's service.
#pragma once

void CheckIn();
