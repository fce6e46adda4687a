// The robot accounts the emulated host has logged in, or not: the account
// lists every host answers are made from this one book.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace hostsim {

// Adds the account (a QQ number) or changes its status, and republishes the
// lists of all three hosts.
void SetAccountOnline(const std::string& account, bool online);
// Sets many accounts at once, republishing the lists once.
void SetAccountsOnline(const std::vector<std::pair<std::string, bool>>& accounts);
// Flips count accounts picked at random (with the given generator state) and
// republishes once; answers how many were flipped.
size_t FlipRandomAccounts(size_t count, unsigned* seed);
// Removes an account, as a host does when the plugin asks it to.
void RemoveAccount(const std::string& account);
// "account online|offline" lines, for people.
std::vector<std::string> DescribeAccounts();

}  // namespace hostsim
