// The order in which a host's addresses are tried.

#include <gtest/gtest.h>

#include <string>

#include "framework/HostLookup.h"

namespace {

// One letter per address: '4' IPv4, '6' IPv6; the digit after it tells
// addresses of a family apart.
std::vector<HostAddress> AddressesOf(const std::string& families)
{
    std::vector<HostAddress> addresses;
    for (size_t i = 0; i + 1 < families.size(); i += 2) {
        HostAddress address;
        address.address.ss_family = families[i] == '6' ? AF_INET6 : AF_INET;
        address.nLength = families[i + 1] - '0';
        addresses.push_back(address);
    }
    return addresses;
}

std::string FamiliesOf(const std::vector<HostAddress>& addresses)
{
    std::string families;
    for (const HostAddress& address : addresses)
        families += std::string(address.Family() == AF_INET6 ? "6" : "4") + static_cast<char>('0' + address.nLength);
    return families;
}

} // namespace

TEST(HostLookup, FamiliesTakeTurnsFromTheFirstAddresssFamilyOn)
{
    const struct {
        const char* resolved;
        const char* tried;
    } cases[] = {
        {"", ""},
        {"41", "41"},
        {"61626341", "61416263"},
        {"41426162", "41614262"},
        {"6141424361", "6141614243"},
        {"414243", "414243"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.resolved);
        EXPECT_EQ(FamiliesOf(InterleavedByFamily(AddressesOf(c.resolved))), c.tried);
    }
}
