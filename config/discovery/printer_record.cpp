#include "printer_record.h"

#include <cstddef>

PrinterList g_printerList;

void PrinterRecord::SetLocalPort(DWORD port)
{
    localPort[0] = static_cast<BYTE>(port >> 8);
    localPort[1] = static_cast<BYTE>(port);
}

void PrinterRecord::SetInactivityTime(DWORD seconds)
{
    inactivityTime[0] = static_cast<BYTE>(seconds >> 8);
    inactivityTime[1] = static_cast<BYTE>(seconds);
}

DWORD BaudRateFromCode(BYTE code)
{
    for (const BaudCode& entry : kBaudCodes)
        if (entry.code == code)
            return entry.baudRate;
    return 0;
}

void PrinterList::Clear()
{
    m_records.clear();
}

void PrinterList::Append(const PrinterRecord& record)
{
    m_records.push_back(record);
}

PrinterRecord* PrinterList::Find(int number)
{
    return const_cast<PrinterRecord*>(static_cast<const PrinterList&>(*this).Find(number));
}

const PrinterRecord* PrinterList::Find(int number) const
{
    if (number <= 0 || number > GetCount())
        return nullptr;
    return &m_records[static_cast<std::size_t>(number - 1)];
}
