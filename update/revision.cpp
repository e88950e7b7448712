// Comparing the image's revisions with the drive's firmware revision.
#include "update/revision.h"

#include <string.h>

#include "app/appstate.h"
#include "drive/discovery.h"

int CheckRevision(const char *revision1, const char *revision2, const char *revision3) {
    (void)revision1;
    (void)revision2;  // the target version alone decides
    char drive[5];
    const DriveSlot *slot = SlotOf(AppState.selectedAdapter, AppState.selectedTarget);
    memcpy(drive, slot ? slot->revision : "", slot ? 5 : 1);
    drive[4] = 0;
    int order = strcmp(drive, revision3);  // unsigned bytes, as strcmp compares
    if (order > 0) return RevisionNewer;
    if (order < 0) return RevisionOlder;
    return RevisionEqual;
}
