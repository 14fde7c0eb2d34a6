// The one global state record and its values before start-up.
#include "appstate.h"

#include "../outputs/outputs.h"

AppStateRecord AppState;

void ResetAppState()
{
    AppState = AppStateRecord();
    AppState.WindowWidth = kWindowWidth;
    AppState.WindowHeight = kWindowHeight;
    AppState.DisconnectImmediately = 1;
    AppState.MessageType = 2; // the default warning text
    AppState.LogToFile = 1;
    AppState.Balloons = 1;
    AppState.EventLog = 1;
    AppState.IPv6 = 1;
    AppState.LogLines = kDefaultLogLines;
    AppState.LogFile.handle = INVALID_HANDLE_VALUE;
    AppState.LogFolderCap = kLogFolderCapMiB;
    AppState.BlockMinutes = 60;
    ResetBlocking();
}

// Set the initial values before anything runs.
static struct AppStateInitialiser {
    AppStateInitialiser()
    {
        ResetAppState();
    }
} appStateInitialiser;
