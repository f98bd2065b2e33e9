#include "rsakeychain.h"

std::string RsaKeychain::publicKey(uint32_t selector) const
{
    const auto found = keys.find(selector);
    return found == keys.end() ? std::string() : found->second;
}
