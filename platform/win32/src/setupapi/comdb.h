// The COM name database: which COMn names are handed out. Kept as Windows
// keeps it, the REG_BINARY bitmap ComDB under
// HKLM\SYSTEM\CurrentControlSet\Control\COM Name Arbiter, bit n-1 (byte
// (n-1)/8, bit (n-1)%8) set when COMn is in use.
#pragma once

#include <windef.h>

#include <set>
#include <string>
#include <vector>

namespace vlm::win32::setup {

inline constexpr int kMaxComNumber = 256;
// COM1 and COM2 belong to the machine's own serial ports.
inline constexpr int kFirstFreeComNumber = 3;

// n for "COMn" (1..256, any case), else 0.
int SetpComNumber(const std::string& name);

// The bitmap, kMaxComNumber bits at least; all clear when absent.
DWORD SetpReadComDb(std::vector<BYTE>* bitmap);
DWORD SetpWriteComDb(const std::vector<BYTE>& bitmap);
void SetpMarkCom(std::vector<BYTE>& bitmap, int number, bool inUse);
bool SetpComMarked(const std::vector<BYTE>& bitmap, int number);

// Names no new node may take: those recorded in the database, COM1 and
// COM2, the PortName of every device node, and every name a running port
// holds (HARDWARE\DEVICEMAP\SERIALCOMM) or keeps while its removal waits
// for vlmhost's restart.
std::set<int> SetpComNamesInUse(const std::vector<BYTE>& bitmap);

// Takes the lowest free number from COM3 up into `taken` and *number. With
// every name from COM3 to COM256 taken: ERROR_NO_LOG_SPACE, Windows' answer
// when the database can arbitrate no more names, and a line on stderr that
// says so, since the code's own text speaks of registry logs.
DWORD SetpClaimLowestFreeCom(std::set<int>& taken, int* number);

}  // namespace vlm::win32::setup
