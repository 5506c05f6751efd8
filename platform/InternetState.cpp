#include "platform/InternetState.h"

#include <ifaddrs.h>
#include <net/if.h>

#include <memory>

bool InternetGetConnectedState() {
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) return false;
    const std::unique_ptr<ifaddrs, decltype(&::freeifaddrs)> owner(list, &::freeifaddrs);
    for (const ifaddrs* a = list; a; a = a->ifa_next) {
        if (!a->ifa_addr || (a->ifa_flags & IFF_LOOPBACK) || !(a->ifa_flags & IFF_UP) || !(a->ifa_flags & IFF_RUNNING))
            continue;
        const int family = a->ifa_addr->sa_family;
        if (family == AF_INET || family == AF_INET6) return true;
    }
    return false;
}
