// The tray's part in a scan: the alert icon, and a balloon naming the
// caller. The shell owns the icon; this output only asks it.
#include "../app/app.h"
#include "outputs.h"

void AlertScan(const ScanRecord& record)
{
    RaiseAlert();
    ShowScanBalloon(record.kind == kScanGone ? NetAddress() : record.caller, record.port);
}
