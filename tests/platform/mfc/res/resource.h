// Control ids of the framework's test dialogs.
#define IDI_TEST 128

#define IDD_SAMPLE 100
#define IDD_MINIMAL 101
#define IDD_BROKEN 102
#define IDD_NODEFAULT 103
#define IDD_RADIOS 104

#define IDC_LIST 1001
#define IDC_NUMBER 1002
#define IDC_NAME 1003
#define IDC_PORTS 1004
#define IDC_SPEED 1005
#define IDC_DHCP 1006
#define IDC_PROGRESS 1007
#define IDC_ADDRESS 1008
#define IDC_APPLY 1009
#define IDC_SECOND 1010
#define IDC_MANUAL 1011
#define IDC_ICON 1012
#define IDC_HIDDEN 1013
#define IDC_RADIO_A 1014
#define IDC_RADIO_B 1015
#define IDC_RADIO_C 1016
#define IDC_RADIO_D 1017

#ifdef APSTUDIO_INVOKED
#define _APS_NEXT_RESOURCE_VALUE 129
#endif
