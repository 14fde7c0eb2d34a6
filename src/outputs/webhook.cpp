// The web hook output; it does nothing until the sender lands here.
#include "outputs.h"

void WebhookScanNamed(const ScanRecord&, const char*)
{
}
void WebhookStart()
{
}
void WebhookStop()
{
}
void WebhookTick()
{
}
