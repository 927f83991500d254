// Resource identifiers shared by the resource script and the window code.
#pragma once

#define IDS_TITLE 103
#define IDI_LAUNCHER 196

// Skin images, resource type "PNG".
#define IDP_BUTTON_START 168
#define IDP_BUTTON_DISABLED 170
#define IDP_BUTTON_PRESSED 171
#define IDP_BUTTON_BUSY 190
#define IDP_BUTTON_BUSY_PRESSED 191
#define IDP_BAR_FILL 197
#define IDP_BAR_TRACK 198
#define IDP_LOWER_PANEL 199
#define IDP_BUTTON_DISABLED_PRESSED 200
#define IDP_BACKGROUND_FIRST 203
#define IDP_BACKGROUND_COUNT 6
#define IDP_LOGO 214
