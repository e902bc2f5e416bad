#include "printer_record.h"

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

PrinterList::~PrinterList()
{
    Clear();
}

void PrinterList::Clear()
{
    // Node by node: a recursive release of a long chain would be as deep
    // as the list is long.
    while (m_head)
        m_head = std::move(m_head->next);
    m_tail = nullptr;
    m_count = 0;
}

void PrinterList::Append(const PrinterRecord& record)
{
    auto node = std::make_unique<Node>();
    node->record = std::make_unique<PrinterRecord>(record);
    Node* added = node.get();
    if (m_tail)
        m_tail->next = std::move(node);
    else
        m_head = std::move(node);
    m_tail = added;
    ++m_count;
}

PrinterRecord* PrinterList::Find(int number)
{
    return const_cast<PrinterRecord*>(static_cast<const PrinterList&>(*this).Find(number));
}

const PrinterRecord* PrinterList::Find(int number) const
{
    if (number <= 0 || number > m_count)
        return nullptr;
    const Node* node = m_head.get();
    for (int i = 1; i < number; ++i)
        node = node->next.get();
    return node->record.get();
}
