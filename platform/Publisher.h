#pragma once
// The publisher's web server: one host for the web site, the web panel's page
// and the update-info file. Plain HTTP, as the program has always used it.
#include <string>

inline constexpr const char* PublisherHost = "www.quorvel.com";

// "http://<host>" followed by `path` (which starts with "/").
inline std::string PublisherAddress(const std::string& path) {
    return std::string("http://") + PublisherHost + path;
}
// The web site that actWeb and the about box's link open.
inline std::string PublisherWebSite() {
    return PublisherAddress("/");
}
