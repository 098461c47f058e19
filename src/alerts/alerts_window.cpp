#include "alerts/alerts_window.h"

// Pending: the alerts display is not built yet; nothing is shown.
int RunAlertsWindow(HINSTANCE, int) {
    return 0;
}
