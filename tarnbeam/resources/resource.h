// Resource ids of the update client. The English and Japanese sets carry the same ids.
#pragma once

#define IDI_TARNBEAM 101

#define IDS_CAPTION 101
#define IDS_CONFIG_ERROR 102
#define IDS_NO_UPDATE_SELECTED 103
#define IDS_NO_NEWS_SELECTED 104
#define IDS_TAB_UPDATES 105
#define IDS_TAB_NEWS 106
#define IDS_NO_SERVER_INFO 107
#define IDS_VERSION_PREFIX 108
#define IDS_UPDATE_CAPTION 109
#define IDS_UPDATE_CONFIRM 110
#define IDS_USER_AGENT 111
#define IDS_WRITE_FAILED 112
#define IDS_DOWNLOAD_FAILED 113
#define IDS_MD5_MISMATCH 114
#define IDS_RELEASED_ON 115
#define IDS_FIRST_RUN 116
#define IDS_UNKNOWN 117
#define IDS_NO_HOST 118
#define IDS_UNTRUSTED_HOST 119
#define IDS_NO_VERIFIER 120
#define IDS_BAD_SIGNATURE 121
#define IDS_LANGUAGE_TAG 122

// The main dialog.
#define IDD_MAIN 103
#define IDB_NEWS_DEFAULT 113
#define IDC_TABS 1000
#define IDC_UPDATE_LIST 1001
#define IDC_HTML_VIEW 1002
#define IDC_UPDATE 1006
#define IDC_NEWS_LIST 1008
#define IDC_OPTIONS 1009

// The progress window of the update download.
#define IDD_PROGRESS 106
#define IDC_PROGRESS 1007

// Options dialogs: 116 offers the three-way ShowOption choice, 117 the two integrate-mode
// switches. 107 is the window shown while information is gathered.
#define IDD_GATHERING 107
#define IDD_OPTIONS 116
#define IDD_OPTIONS_INTEGRATE 117
#define IDC_SHOW_NOTHING 1010
#define IDC_SHOW_ANY_NEWS 1011
#define IDC_SHOW_UPDATES_ONLY 1012
#define IDC_AUTO_CHECK_UPDATE 1013
#define IDC_SHOW_ON_NEW_INFORMATION 1014
