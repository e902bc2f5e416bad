// From a printer vanishing mid-job to the program's error, at the default
// settings: a program over IPC and one through the terminal each print a
// job to a printer on a link of its own (a veth pair into a network
// namespace, addresses from 192.0.2.0/24), and the link is deleted while
// both jobs are in flight: no FIN, no reset, no acknowledgement again.
#pragma once

#include <string>

namespace vlm::bench {

struct VanishFigures {
    std::string skipped;             // why it was not measured; empty when it was
    double ipcSeconds = 0;           // from the link's deletion to WriteFile's failure
    double ptySeconds = 0;           // ... to the terminal's write failing (EIO)
    unsigned long long ipcTold = 0;  // what WriteFile had reported written
    unsigned long long ptyTold = 0;  // what write() had accepted
};

// Needs a private network namespace with only lo (scripts/netns-run) and
// the right to make links in it; otherwise says why it skipped.
VanishFigures MeasureVanish(const std::string& vlmhostPath);

}  // namespace vlm::bench
