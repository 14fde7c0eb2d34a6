// The program output; it does nothing until the runner lands here.
#include "outputs.h"

void ProgramScanNamed(const ScanRecord&, const char*)
{
}
void ProgramStop()
{
}
void ProgramTick()
{
}
