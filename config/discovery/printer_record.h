// A printer's Ethernet interface as it describes itself: the 26-byte
// record of the search answer and of the configuration datagram, and the
// process's list of the records the last search collected.
#pragma once

#include <windows.h>

#include <deque>

// Laid out exactly as on the wire; every field is bytes, so there are no
// gaps. Multi-byte numbers are big-endian; addresses are in dotted order.
struct PrinterRecord {
    BYTE macAddress[6];
    BYTE ipAddress[4];
    BYTE subnetMask[4];
    BYTE gateway[4];
    BYTE localPort[2];  // the TCP port for print data
    BYTE baudCode;      // see kBaudCodes
    BYTE firmwareMajor;
    BYTE firmwareMinor;
    BYTE dhcpMode;           // 0: static addresses; anything else: DHCP
    BYTE inactivityTime[2];  // seconds; 0 is the default

    WORD GetLocalPort() const { return static_cast<WORD>(localPort[0] << 8 | localPort[1]); }
    WORD GetInactivityTime() const { return static_cast<WORD>(inactivityTime[0] << 8 | inactivityTime[1]); }
    // Higher bits are dropped, as the wire has 16.
    void SetLocalPort(DWORD port);
    void SetInactivityTime(DWORD seconds);
};
static_assert(sizeof(PrinterRecord) == 26, "the record is 26 bytes on the wire");

// The serial speeds a record's baudCode stands for.
struct BaudCode {
    BYTE code;
    DWORD baudRate;
};
inline constexpr BaudCode kBaudCodes[] = {
        {0xA0, 1200},
        {0xD0, 2400},
        {0xE8, 4800},
        {0xF4, 9600},
        {0xFA, 19200},
        {0xFD, 38400},
        {0xFE, 57600},
        {0xFF, 115200},
        {0xBB, 230400},
};

// The speed of a code, or 0 for a code that stands for no known speed.
DWORD BaudRateFromCode(BYTE code);

// The records of the last search, numbered from 1 in arrival order. There
// is no limit and no duplicate check: a printer that answers twice is
// listed twice. Finding by number and appending take constant time, so a
// search that brings tens of thousands of answers (a hostile or broken
// device on the segment) costs no more per answer than one that brings two.
//
// No lock: while a search runs only its receive thread changes the list;
// otherwise only the user-interface thread uses it. Whoever hands the list
// from one to the other provides the ordering (the search's end waits for
// its receive thread).
class PrinterList {
public:
    PrinterList() = default;
    PrinterList(const PrinterList&) = delete;
    PrinterList& operator=(const PrinterList&) = delete;

    void Clear();
    // Copies the 26 bytes into a record of the list's own, at the tail.
    void Append(const PrinterRecord& record);
    // The record numbered `number`, or nullptr for 0, less, or past the
    // end. The record stays where it is until the next Clear, so a caller
    // may keep the pointer and edit the record in place.
    PrinterRecord* Find(int number);
    const PrinterRecord* Find(int number) const;
    int GetCount() const { return static_cast<int>(m_records.size()); }

private:
    // A deque: indexed in constant time, and appending at its end moves no
    // record, so the pointers Find gave stay valid.
    std::deque<PrinterRecord> m_records;
};

// The process's one list: empty at start, cleared at the beginning of
// every search.
extern PrinterList g_printerList;
