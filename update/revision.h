#pragma once

enum { RevisionNewer = 1,
       RevisionEqual = 2,
       RevisionOlder = 3 };

// Compares the selected drive's revision with revision3 of the image:
// RevisionNewer, RevisionEqual or RevisionOlder.
int CheckRevision(const char *revision1, const char *revision2, const char *revision3);
