// Message boxes in the user's language under the caption "Discmend".
#include "app/msgbox.h"

#include "app/appstate.h"

int (*MessageBoxHook)(HWND owner, const char *text, unsigned style);

int ShowMessage(HWND owner, const char *text, unsigned style) {
    if (MessageBoxHook) return MessageBoxHook(owner, text, style);
    return MessageBoxExA(owner, text, "Discmend", style, AppState.messageLanguage);
}
