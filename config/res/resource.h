//{{NO_DEPENDENCIES}}
// Resource and control ids of VLMCONFIG: the resource script, the dialogs'
// code and the tests all name controls by these.
#pragma once

#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif

// Dialog templates and the program icon.
#define IDD_VLMCONFIG_DIALOG 102
#define IDR_MAINFRAME 128
#define IDD_PRINTER_CONFIG 129
#define IDD_PORT_MANAGE 133
#define IDD_SEARCH 134

// Main dialog.
#define IDC_SEARCH 1001
#define IDC_CONFIGURE 1002
#define IDC_TEST_PRINT 1004
#define IDC_PRINTER_LIST 1005
#define IDC_PORT_MANAGEMENT 1006
#define IDC_DETACH 1007

// Search dialog.
#define IDC_SEARCH_PROGRESS 1009
#define IDC_SEARCH_STATUS 1010
#define IDC_FOUND_COUNT 1012

// Printer configuration dialog; the port list is shared with port management.
#define IDC_DHCP_MODE 1013
#define IDC_PORT_LIST 1014
#define IDC_IP_ADDRESS 1015
#define IDC_GATEWAY 1017
#define IDC_LOCAL_PORT 1018
#define IDC_INACTIVITY_TIME 1019
#define IDC_SUBNET_MASK 1020
#define IDC_BAUD_RATE 1021
#define IDC_FIRMWARE_VERSION 1022

// Port management dialog.
#define IDC_ADD_PORT 1024
#define IDC_DELETE_ALL_PORT 1025
