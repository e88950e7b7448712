// Control ids of the dialog templates, shared by the resource script and the
// dialog procedures.
#pragma once

// Agreement dialog ("KYODAKU", "KYODAKUUS").
#define IDC_AGREEMENT_TEXT 1011     // the text area the dialog paints its lines into
#define IDC_AGREEMENT_SCROLL 1006   // the scroll bar of the text area
#define IDC_AGREEMENT_ACCEPT 1004   // accept
#define IDC_AGREEMENT_DECLINE 1003  // do not accept
#define IDC_AGREEMENT_NEXT 1        // NEXT, the standard OK command

// Main dialog ("MainDialog", "MainDialogUS").
#define IDC_UPDATE 1001
#define IDC_EXIT 1002
#define IDC_SLOT1_RADIO 1003
#define IDC_SLOT2_RADIO 1004
#define IDC_SLOT3_RADIO 1005
#define IDC_SLOT4_RADIO 1006
#define IDC_PROGRESS 1013  // the area ShowProgress paints the bar into
#define IDC_NOTE 1015      // the note ShowMayTakeMinutes writes
#define IDC_SLOT1_LABEL 1016
#define IDC_SLOT2_LABEL 1017
#define IDC_SLOT3_LABEL 1018
#define IDC_SLOT4_LABEL 1019
#define IDC_SLOT1_REVISION 31
#define IDC_SLOT2_REVISION 1020
#define IDC_SLOT3_REVISION 1021
#define IDC_SLOT4_REVISION 1022
