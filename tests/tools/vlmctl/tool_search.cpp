// The configuration tool's own search without its window: its endpoint,
// opened as the search dialog opens it, broadcasting "FIND" to
// 255.255.255.255 and taking "IMIN" answers for MS milliseconds. Prints
// each answer's MAC, one a line; what the endpoint would have shown in a
// message box goes to standard error with status 1.
//
//   tool_search MS
#include "datagram.h"
#include "message_box_recorder.h"
#include "udp_server.h"

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

namespace {

std::mutex g_lock;  // guards g_macs: the endpoint's receive thread appends
std::vector<std::string> g_macs;

void OnDatagram(const char* data, int length)
{
    CWorkingDatagram answer(data, length);
    if (!answer.Is(kAnswerTag))
        return;
    const PrinterRecord record = answer.Record();
    char mac[18];
    const BYTE* m = record.macAddress;
    std::snprintf(mac, sizeof mac, "%02x:%02x:%02x:%02x:%02x:%02x", m[0], m[1], m[2], m[3], m[4], m[5]);
    std::lock_guard guard(g_lock);
    g_macs.emplace_back(mac);
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 2)
        return 2;
    vlm::test::MessageBoxRecorder boxes;
    // As the tool's start-up does before any dialog.
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0)
        return 1;
    CUDPServer server;
    server.SetReceiveHandler(&OnDatagram);
    bool opened = server.Open(kToolUdpPort, kPrinterUdpPort, "255.255.255.255");
    bool sent = opened && server.Send(kSearchRequest, sizeof kSearchRequest) != -1;
    Sleep(static_cast<DWORD>(std::atoi(argv[1])));
    server.Close();
    for (const std::string& text : boxes.Texts())
        std::fprintf(stderr, "message box: %s\n", text.c_str());
    std::lock_guard guard(g_lock);
    for (const std::string& mac : g_macs)
        std::printf("%s\n", mac.c_str());
    return opened && sent ? 0 : 1;
}
