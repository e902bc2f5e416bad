// The printer as a test host: printer_host.py alone in a network namespace
// of its own, joined to the test's namespace by a veth pair the test makes.
// The test's side is 192.0.2.1/24, the printer 192.0.2.2/24, port 9100;
// nothing routes anywhere else. The namespace lives as long as the printer
// process: killing it takes the namespace and the pair with it.
#pragma once

#include "process_support.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vlm::test {

inline constexpr const char* kPrinterAddress = "192.0.2.2";
inline constexpr int kPrinterPort = 9100;

class PrinterHost {
public:
    PrinterHost() = default;
    PrinterHost(const PrinterHost&) = delete;
    PrinterHost& operator=(const PrinterHost&) = delete;
    ~PrinterHost() { Stop(); }

    // Starts the printer with printer_host.py's `flags`, its jobs filed
    // under `jobs`, and joins it to this namespace. Empty when it listens;
    // otherwise why it could not be made (the test skips on that).
    std::string Start(const std::string& jobs, std::vector<std::string> flags);

    // Deletes the link: from now on the printer neither answers nor
    // acknowledges, and says nothing either (no FIN, no reset).
    void Vanish();

    // Vanishes, is killed, and comes back on the same address as a fresh
    // host whose TCP knows none of the old connections. Empty on success.
    std::string Reboot();

    // Every open job reports what it read and what its TCP holds (SIGUSR1).
    void AskForReport();
    // Stalled jobs read again (SIGUSR2).
    void Resume();

    // What this namespace's TCP has had acknowledged on its connection from
    // 192.0.2.1:localPort to the printer (ss's bytes_acked): after the link
    // went, the acknowledgements that reached vlmhost, no matter what its
    // transport made of them.
    static std::optional<uint64_t> AcknowledgedToUs(int localPort);

    // Kills the printer (and with it its namespace) and deletes the link.
    void Stop();

    Process& process() { return *process_; }
    // The directory the current boot files its jobs in.
    const std::string& jobs() const { return bootJobs_; }

private:
    std::string Boot();
    bool LinkPresent() const;

    std::string jobs_;
    std::string bootJobs_;
    std::vector<std::string> flags_;
    int boots_ = 0;
    std::unique_ptr<Process> process_;
};

}  // namespace vlm::test
