// Command line and text helpers of the entry; no Win32 here.
#pragma once

// Scans text from index start up to and including index 998 (and never past
// cap bytes of the buffer) for the first byte equal to ch. Returns its index
// minus start plus 1, or 0 when there is none.
unsigned SpanTo(unsigned start, char ch, const char *text, unsigned cap);

// Copies src into dst (cap bytes, NUL included). Returns 1 when src fit whole;
// otherwise stores what fits (NUL-terminated) and returns 0.
int CopyBounded(char *dst, const char *src, unsigned cap);

// The command line parse of a fresh start: the quoted program path, one
// separating character, the image name, optionally one option word.
// commandLine, imageFile and option are buffers of 261 bytes; the outputs
// must be zero-filled by the caller.
void ParseCommandLine(const char *commandLine, char *imageFile, char *option);

// The program's own path: the quoted first token without its quotes.
void DeriveProgramPath(const char *commandLine, char *programPath);

// 1 when option is exactly "/NON" (case-sensitive), else 0.
int IsForceOption(const char *option);
