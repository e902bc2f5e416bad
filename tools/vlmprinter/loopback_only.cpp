#include "loopback_only.h"

#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <system_error>

namespace vlm::printer {

std::vector<std::string> NonLoopbackInterfaces()
{
    // if_nameindex asks the kernel about this namespace; /sys/class/net
    // would show the namespace sysfs was mounted in.
    std::unique_ptr<struct if_nameindex, void (*)(struct if_nameindex*)> names(if_nameindex(), if_freenameindex);
    if (!names)
        throw std::system_error(errno, std::generic_category(), "listing the network interfaces");
    int probe = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (probe < 0)
        throw std::system_error(errno, std::generic_category(), "socket");
    std::vector<std::string> others;
    for (const struct if_nameindex* entry = names.get(); entry->if_index != 0; ++entry) {
        ifreq request{};
        std::strncpy(request.ifr_name, entry->if_name, IFNAMSIZ - 1);
        // One that vanished meanwhile, or whose flags cannot be read, counts
        // as a way out.
        if (ioctl(probe, SIOCGIFFLAGS, &request) != 0 || !(request.ifr_flags & IFF_LOOPBACK))
            others.emplace_back(entry->if_name);
    }
    close(probe);
    return others;
}

}  // namespace vlm::printer
