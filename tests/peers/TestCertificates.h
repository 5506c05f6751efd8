#pragma once
// The certificates of the TLS tests (tests/peers/make_test_certs.py), made once
// per test program in a private temporary folder and removed at exit.
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>

class TTestCertificates {
public:
    static const TTestCertificates& Get() {
        static TTestCertificates certificates;
        return certificates;
    }
    std::string CA() const { return Path("ca.pem"); }
    std::string Cert(const std::string& name) const { return Path(name + ".pem"); }
    std::string Key(const std::string& name) const { return Path(name + ".key"); }

    ~TTestCertificates() {
        std::error_code ec;
        std::filesystem::remove_all(FDir, ec);
    }

private:
    TTestCertificates() {
        std::string pattern = (std::filesystem::temp_directory_path() / "quorvel-certs-XXXXXX").string();
        if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
        FDir = pattern;
        std::string command = std::string(QUORVEL_PYTHON) + " " + QUORVEL_PEERS_DIR + "/make_test_certs.py '" + FDir + "'";
        if (std::system(command.c_str()) != 0) throw std::runtime_error("cannot make the test certificates");
    }
    std::string Path(const std::string& name) const { return FDir + "/" + name; }
    std::string FDir;
};
