// Resource identifiers of the module.
#pragma once

#define IDS_PRODUCT_NAME 119
#define IDS_HELP_FAILED 141
#define IDS_MENU_DOWNLOAD_BY 183
#define IDS_MENU_DOWNLOAD_ALL_BY 184
