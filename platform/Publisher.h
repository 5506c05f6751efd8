#pragma once
// The publisher's web server: one host for the web site, the web panel's page
// and the update-info file. The pages are plain HTTP; the upgrade comes over HTTPS.
#include <string>

inline constexpr const char* PublisherHost = "www.quorvel.com";

// "http://<host>" followed by `path` (which starts with "/").
inline std::string PublisherAddress(const std::string& path) {
    return std::string("http://") + PublisherHost + path;
}
// The same host over HTTPS, where the update-info file and the program's
// files are fetched: whatever comes from there replaces the program.
inline std::string PublisherSecureAddress(const std::string& path) {
    return std::string("https://") + PublisherHost + path;
}
// The built-in address of the update-info file.
inline std::string PublisherUpdateInfoAddress() {
    return PublisherSecureAddress("/upsoft/quorvel.inf");
}
// The web site that actWeb and the about box's link open.
inline std::string PublisherWebSite() {
    return PublisherAddress("/");
}
