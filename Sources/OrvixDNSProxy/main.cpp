// org.zorvane.dnscrypt: the website service's local DNSCrypt proxy.
//   org.zorvane.dnscrypt -config <path of dnscrypt.toml>
#include <sodium.h>

#include <cstdio>
#include <cstring>
#include <exception>
#include <string>

#include "BlockList.hpp"
#include "DNSProxy.hpp"
#include "ProxyConfiguration.hpp"
#include "ProxyError.hpp"

int main(int argc, char **argv) {
    try {
        if (argc != 3 || std::strcmp(argv[1], "-config") != 0)
            throw orvix::ProxyError("Usage: org.zorvane.dnscrypt -config <configuration file>");
        if (sodium_init() < 0) throw orvix::ProxyError("The cryptography library cannot start.");
        auto configuration = orvix::ProxyConfiguration::load(argv[2]);
        auto blockList = configuration.blockedNamesFile
                             ? orvix::BlockList::load(*configuration.blockedNamesFile)
                             : orvix::BlockList();
        orvix::DNSProxy proxy(std::move(configuration), std::move(blockList));
        proxy.listen();
        proxy.dropPrivileges();
        proxy.run();
        return 0;
    } catch (const std::exception &error) {
        std::fprintf(stderr, "org.zorvane.dnscrypt: %s\n", error.what());
        return 1;
    }
}
