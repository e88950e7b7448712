// Shared by the fuzz targets: the check that stops the run when a property
// does not hold, a byte source over the input, and guarded 261-byte fields.
#pragma once
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include "app/appstate.h"

#define CHECK(cond)                                                                      \
    do {                                                                                 \
        if (!(cond)) {                                                                   \
            fprintf(stderr, "property broken: %s (%s:%d)\n", #cond, __FILE__, __LINE__); \
            __builtin_trap();                                                            \
        }                                                                                \
    } while (0)

struct ByteSource {
    const uint8_t *data;
    size_t size, at;
};

static inline int ReadSourceByte(void *context, unsigned char *byte) {
    ByteSource *s = (ByteSource *)context;
    if (s->at >= s->size) return 0;
    *byte = s->data[s->at++];
    return 1;
}

// A zero-filled 261-byte buffer followed by guard bytes.
struct Field {
    char text[PATH_CAP];
    unsigned char guard[16];
};

static inline void ClearField(Field *f) {
    memset(f->text, 0, sizeof f->text);
    memset(f->guard, 0x5A, sizeof f->guard);
}

// NUL-terminated within its 261 bytes, and nothing written past them.
static inline bool FieldIntact(const Field *f) {
    if (!memchr(f->text, 0, sizeof f->text)) return false;
    for (unsigned char g : f->guard)
        if (g != 0x5A) return false;
    return true;
}
