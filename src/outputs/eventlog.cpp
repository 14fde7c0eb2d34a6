// The Event Log output; it does nothing until the writer lands here.
#include "outputs.h"

void EventLogScanNamed(const ScanRecord&, const char*)
{
}
void EventLogListening(int32_t)
{
}
void EventLogStopped(const char*)
{
}
void EventLogStop()
{
}
void EventLogError(const char*)
{
}
