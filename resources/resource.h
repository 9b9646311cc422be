/* String table identifiers of tdm.dll.
 *
 * Many of these ids are shared with a dialog control, a toolbar button or a
 * menu command: windows re-set their texts from the string whose id equals
 * the control or command id, so a change of interface language needs no
 * second set of dialog templates.  Plain #defines only: this file is read by
 * windres as well as by the C++ compiler.
 */
#ifndef TDM_RESOURCE_H
#define TDM_RESOURCE_H

/* Standard dialog buttons (ids of IDCANCEL, IDCLOSE, IDHELP) */
#define IDS_CANCEL                      2
#define IDS_CLOSE                       8
#define IDS_HELP                        9

/* Download list column titles */
#define IDS_COL_URL                     101
#define IDS_COL_FILE_NAME               102
#define IDS_COL_SIZE                    103
#define IDS_COL_PROGRESS                104
#define IDS_COL_TIME_REMAINING          105
#define IDS_COL_SPEED                   106

/* Download context menu items */
#define IDS_MENU_ADD_DOWNLOAD           107
#define IDS_MENU_DELETE_DOWNLOAD        108
#define IDS_MENU_DELETE_ALL_DOWNLOADS   109
#define IDS_MENU_START_DOWNLOAD         110
#define IDS_MENU_PAUSE_DOWNLOAD         111

#define IDS_PAGE_DEFAULT_PROPERTIES     115
#define IDS_SECTIONS_NUMBER_FMT         116
#define IDS_MENU_START_ALL              117
#define IDS_MENU_PAUSE_ALL              118

/* Product name: message box captions, dialog title suffix, help window title */
#define IDS_PRODUCT_NAME                119
#define IDS_SETTINGS                    120
#define IDS_MENU_ABOUT_FMT              121
#define IDS_MENU_SHOW_LOG               122
#define IDS_MENU_SHOW_TOOLBAR           123
#define IDS_COL_BYTES_LOADED            124
#define IDS_FILE_SIZE_FMT               125
#define IDS_URL_ALREADY_USED_FMT        126
#define IDS_PROXY_SETTINGS_REQUIRED     127
#define IDS_BYTES_RECEIVED_FMT          128
#define IDS_NOT_AVAILABLE               129

/* Main toolbar button labels */
#define IDS_LABEL_START                 130
#define IDS_LABEL_PAUSE                 131
#define IDS_LABEL_START_ALL             132
#define IDS_LABEL_PAUSE_ALL             133
#define IDS_LABEL_DELETE                134
#define IDS_LABEL_DELETE_ALL            135
#define IDS_LABEL_LOG                   136

#define IDS_CONFIRM_DELETE_ALL          137
#define IDS_PAGE_INTERFACE              138
#define IDS_SELECT_FOLDER               140
#define IDS_HELP_LAUNCH_FAILED          141
#define IDS_CONTEXT_HELP                142
#define IDS_SAVE_AS_TITLE_FMT           143
/* Filter pairs of the save-file dialog: "%s Files" (the extension) and "Any Files" */
#define IDS_FILES_OF_TYPE_FMT           144
#define IDS_ANY_FILES                   166

/* Download log dialog */
#define IDS_LOG_COL_DATE                145
#define IDS_LOG_COL_TIME                146
#define IDS_LOG_COL_MESSAGE             147
#define IDS_LOG_SAVE_FILTER             148
#define IDS_LOG_SAVE_TITLE              149

/* Tool tips of dialog controls */
#define IDS_TIP_DEFAULT_FOLDER          150
#define IDS_TIP_BROWSE_FOLDER           151
#define IDS_TIP_CONNECTIONS             152
#define IDS_TIP_MAX_REDIRECTIONS        154

/* Download list header tips */
#define IDS_HDRTIP_URL                  155
#define IDS_HDRTIP_FILE_NAME            156
#define IDS_HDRTIP_SIZE                 157
#define IDS_HDRTIP_PROGRESS             158
#define IDS_HDRTIP_TIME_REMAINING       159
#define IDS_HDRTIP_SPEED                160
#define IDS_HDRTIP_BYTES_LOADED         161

#define IDS_TIP_USE_IE_PROXY            162
#define IDS_PROPERTIES                  163
#define IDS_LABEL_ADD                   164
#define IDS_SAVE_TO                     165
#define IDS_LOG_CREATE_ERROR_FMT        171
#define IDS_LOG_WRITE_ERROR_FMT         172
#define IDS_CONFIRM_DELETE              173
#define IDS_PATH_NOT_EXIST              174
#define IDS_PROXY_CREDENTIALS_TITLE     175
#define IDS_CREDENTIALS_TITLE           176
#define IDS_INCORRECT_URL_FMT           177

/* Page context-menu entries of the browser (also their registry key names) */
#define IDS_MENU_DOWNLOAD_BY            183
#define IDS_MENU_DOWNLOAD_ALL_BY        184

#define IDS_WEB_SITE_URL                190
#define IDS_MENU_OPEN_FILE              192
#define IDS_TIP_SHOW_MESSAGE_BOXES      193
#define IDS_TIP_PLAY_SOUNDS             194
#define IDS_CONFIRM_OPEN_FILE_FMT       195
#define IDS_TIP_DROP_LINK               196
#define IDS_COL_ELAPSED_TIME            197
#define IDS_HDRTIP_ELAPSED_TIME         198

/* Bandwidth (traffic) modes */
#define IDS_BANDWIDTH_MINIMAL           202
#define IDS_BANDWIDTH_NORMAL            203
#define IDS_BANDWIDTH_UNLIMITED         204

/* Questions and notices */
#define IDS_CONFIRM_PAUSE_NO_RESUME     205
#define IDS_CONFIRM_RESTART_LOADED      207
#define IDS_CONFIRM_SAME_FILE_NAME_FMT  209
#define IDS_DOWNLOAD_COMPLETED_FMT      211
#define IDS_NEW_DOWNLOAD_TITLE          213
#define IDS_CONFIRM_REPLACE_FILE_FMT    215

/* Window and property page titles */
#define IDS_ABOUT_TITLE                 273
#define IDS_PROPERTIES_TITLE            274
#define IDS_PROXY_SETTINGS_TITLE        275
#define IDS_LOG_TITLE                   277
#define IDS_PAGE_GENERAL                281
#define IDS_PAGE_LOGS                   283

/* Interface languages */
#define IDS_LANG_ENGLISH                322
#define IDS_LANG_GERMAN                 323
#define IDS_LANG_RUSSIAN                324

#define IDS_MENU_SHOW_LABELS            325
#define IDS_MENU_COPY_URL               326

/* Control labels (string id = control id) */
#define IDS_CATCH_IE_DOWNLOADS          411
#define IDS_SHOW_MESSAGE_BOXES          415
#define IDS_USE_IE_PROXY                421
#define IDS_USE_DEFAULT_NAMES           427
#define IDS_KEEP_COMMON_LOG             432
#define IDS_USE_CUSTOM_PROXY            433
#define IDS_CUSTOM_PROXY_SETTINGS       434
#define IDS_BYPASS_LOCAL                445
#define IDS_SERVER_CONNECTION           450
#define IDS_MAX_REDIRECTIONS            453
#define IDS_USER_NAME                   454
#define IDS_PASSWORD                    455
#define IDS_PROXY_USER_NAME             457
#define IDS_PROXY_PASSWORD              458
#define IDS_PROXY_SERVERS               460
#define IDS_PROXY_TYPE                  461
#define IDS_PROXY_ADDRESS               462
#define IDS_PROXY_PORT                  463
#define IDS_PROXY_HTTP                  465
#define IDS_PROXY_FTP                   466
#define IDS_PROXY_EXCEPTIONS            467
#define IDS_PROXY_EXCEPTIONS_PROMPT     468
#define IDS_PROXY_SEPARATOR_HINT        469
/* The exceptions the download engine cannot use, named under the list */
#define IDS_PROXY_EXCEPTIONS_IGNORED_FMT 473
#define IDS_SAVE_FILES_TO               470
#define IDS_COMMON_LOG                  471
#define IDS_DAYS_TO_KEEP                472
#define IDS_SAVE_AS                     508
#define IDS_START_ON_CREATION           511
#define IDS_SAME_PROXY_FOR_ALL          512
#define IDS_TOGGLE_BAR                  516
#define IDS_DELETE_WHEN_COMPLETED       518
#define IDS_NEVER_DELETE_LOGS           519
#define IDS_LOG_PER_DOWNLOAD            520
#define IDS_REMEMBER_PASSWORD           521
#define IDS_UI_LANGUAGE                 522
/* About box: everything up to and including the first "." is cut off */
#define IDS_VERSION_TEXT                523
#define IDS_KEEP_DESCRIPTION_FILE       524
#define IDS_PLAY_SOUNDS                 525
#define IDS_DOWNLOAD_GROUP              526
#define IDS_FILES_GROUP                 527
#define IDS_ENABLE_NOTIFICATIONS        532
#define IDS_CONFIRM_FILE_OPEN           533
#define IDS_BANDWIDTH_MODE              539
#define IDS_CONNECTIONS                 544
#define IDS_CLOSE_BAR                   541
#define IDS_MINIMIZE_BAR                542
#define IDS_RESTORE_BAR                 543
#define IDS_USE_PROXY                   548
#define IDS_DONT_OPEN_BAR               552
#define IDS_IE_INTEGRATION              553
#define IDS_CONFIRM_CREATION            555
#define IDS_HOST                        556
#define IDS_REALM                       559
#define IDS_FTP_PASSIVE                 575

/* Download commands (string id = command id: tool tips) */
#define IDS_CMD_ADD                     32781
#define IDS_CMD_PROPERTIES              32782
#define IDS_CMD_START                   32783
#define IDS_CMD_START_ALL               32784
#define IDS_CMD_PAUSE                   32786
#define IDS_CMD_PAUSE_ALL               32787
#define IDS_CMD_DELETE                  32788
#define IDS_CMD_DELETE_ALL              32789
#define IDS_CMD_LOG                     32790
#define IDS_CMD_SETTINGS                32791
#define IDS_CMD_COPY_URL                32792
#define IDS_CMD_OPEN_FILE               32793
#define IDS_CMD_SHOW_TOOLBAR            32794
#define IDS_CMD_SHOW_LABELS             32795
#define IDS_CMD_HELP_CONTENTS           32796
#define IDS_CMD_ABOUT                   32797

/* Dialog templates */
#define IDD_DOWNLOAD_LOG                119
#define IDD_ABOUT                       120
#define IDD_CREDENTIALS                 170
#define IDD_SETTINGS_GENERAL            121
#define IDD_SETTINGS_LOGS               185
#define IDD_DOWNLOAD_LINKS              186
#define IDD_PROXY_SETTINGS              187
#define IDD_SETTINGS_CAPTURE            188
#define IDD_SETTINGS_INTERFACE          218
#define IDD_DOWNLOAD_PROPERTIES_PAGE    299
#define IDD_DOWNLOAD_PROPERTIES         301

/* Dialog controls without a string of their own (labels and buttons whose text
 * is re-set use the string ids above) */
#define IDC_URL_LABEL                   528
#define IDC_PATH_LABEL                  529
#define IDC_URL                         549
#define IDC_LOCAL_PATH                  550
#define IDC_BROWSE_PATH                 551
#define IDC_USER_NAME                   419
#define IDC_PASSWORD                    420
#define IDC_MAX_REDIRECTIONS            412
#define IDC_MAX_REDIRECTIONS_SPIN       413
#define IDC_PROXY_USER_NAME             423
#define IDC_PROXY_PASSWORD              424
#define IDC_HTTP_PROXY_HOST             437
#define IDC_HTTP_PROXY_PORT             438
#define IDC_FTP_PROXY_HOST              407
#define IDC_FTP_PROXY_PORT              436
#define IDC_PROXY_EXCEPTIONS            439
#define IDC_PROXY_EXCEPTIONS_IGNORED    440
#define IDC_CREDENTIALS_USER_NAME       484
#define IDC_CREDENTIALS_PASSWORD        485
#define IDC_LOG_LIST                    510
#define IDC_HOST_NAME                   557
#define IDC_REALM_NAME                  560
#define IDC_DEFAULT_FOLDER              405
#define IDC_BROWSE_FOLDER               417
#define IDC_BANDWIDTH_MODE              540
#define IDC_CONNECTIONS                 545
#define IDC_CONNECTIONS_SPIN            546
#define IDC_UI_LANGUAGE                 514
#define IDC_LOG_DAYS                    430
#define IDC_LOG_DAYS_SPIN               408

/* The link-selection dialog of "download all links" (template 186): its texts,
 * and its controls without a string of their own */
#define IDS_LINKS_TITLE                 600
#define IDS_LINKS_FILTER                601
#define IDS_LINKS_CHECK_ALL             602
#define IDS_LINKS_CHECK_NONE            603
#define IDS_LINKS_CHECK_SHOWN           604
#define IDS_LINKS_CHECKED_FMT           605
#define IDS_LINKS_FOLDER                606
#define IDS_LINKS_START                 607
#define IDS_LINKS_NONE_FOUND            608
#define IDS_LINKS_ADDED_FMT             609
#define IDS_LINKS_CHECK_SHOWN_TIP       610
#define IDS_LINKS_FILTER_TIP            611
#define IDS_LINKS_ADDING_FMT            618
#define IDC_LINKS_FILTER                620
#define IDC_LINKS_LIST                  621
#define IDC_LINKS_COUNT                 622
#define IDC_LINKS_FOLDER                623
#define IDC_LINKS_BROWSE                624

/* The Capture page of the settings (template 188): its texts, and its controls
 * without a string of their own */
#define IDS_CAPTURE_TYPES               630
#define IDS_CAPTURE_DEFAULT_TYPES       631
#define IDS_CAPTURE_NEVER_SITES         632
#define IDS_CAPTURE_BYPASS_KEY          633
#define IDS_KEY_ALT                     634
#define IDS_KEY_CTRL                    635
#define IDS_KEY_SHIFT                   636
#define IDS_KEY_NONE                    637
#define IDS_PAGE_CAPTURE                638
#define IDS_CAPTURE_BAD_PATTERN_FMT     639
#define IDS_TIP_CAPTURE_TYPES           643
#define IDS_TIP_CAPTURE_NEVER_SITES     644
#define IDC_CAPTURE_TYPES               640
#define IDC_CAPTURE_NEVER_SITES         641
#define IDC_CAPTURE_BYPASS_KEY          642

/* Icons. */
#define IDI_LINK                        3008

/* The about box: its picture (resource type JPG_IMAGE) and its hand cursor */
#define IDR_ABOUT_PICTURE               276
#define IDC_HAND_CURSOR                 278

#endif /* TDM_RESOURCE_H */
