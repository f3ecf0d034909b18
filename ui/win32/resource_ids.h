// Resource ids of the Windows executable, shared by its resource script and
// the code that loads them.
#pragma once

#define ZEVUVURI_IDR_APP_ICON 128        /* the application icon: 16, 32 and 48 px */
#define ZEVUVURI_IDS_ABOUT_MENU_TEXT 101 /* the system menu's About entry */
