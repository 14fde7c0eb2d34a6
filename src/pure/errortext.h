// Fixed English reasons for Winsock and resolver error codes: one table per
// use, one lookup function each.
#ifndef HARBINEL_ERRORTEXT_H
#define HARBINEL_ERRORTEXT_H

// Reason for the last error of a socket call; "Unknown error" for any code
// outside the table, 0 included.
const char* SocketErrorText(int code);

// Text logged when the Winsock start fails with this result, or null when
// that result is not reported.
const char* StartupErrorText(int code);

// Reason shown on the RDNS line when a reverse lookup fails.
const char* HostErrorText(int code);

// Reason for a failed file operation (the system's last-error code), for
// lines such as "Save error: Disk full"; "Unknown error" outside the table.
const char* FileErrorText(unsigned long code);

// Reason the settings could not be written (a registry call's result), for
// "Settings error: Access denied"; "Unknown error" outside the table.
const char* SettingsErrorText(unsigned long code);

// Reason an event could not be written to the Windows Event Log (the
// last-error code of RegisterEventSource or ReportEvent), for "Event Log
// error: Event Log service not running"; "Unknown error" outside the table.
const char* EventLogErrorText(unsigned long code);

// Reason a web hook post failed (a WinHTTP error code), for "Web hook error:
// Timed out"; null outside the table.
const char* WebErrorText(unsigned long code);

#endif
