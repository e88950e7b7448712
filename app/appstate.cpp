// The one global record of the run, zero at start.
#include "app/appstate.h"

AppStateRecord AppState;
