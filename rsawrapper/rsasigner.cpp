#include "rsasigner.h"

#include "firmware.pb.h"

RsaSigner::RsaSigner(std::unique_ptr<RsaKey> signingKey)
    : key(std::move(signingKey)), selector(key->selector())
{
}

std::string RsaSigner::sign(const std::string& data) const
{
    std::string signature = key->sign(data);
    if (signature.empty())
        return {};
    SignedData signedData;
    signedData.set_data(data);
    signedData.set_signature(std::move(signature));
    signedData.set_key_id(selector);
    return signedData.SerializeAsString();
}

bool RsaSigner::matchesPublicKey(const std::string& publicPem) const
{
    const std::unique_ptr<RsaKey> other = RsaKey::fromPublicPem(publicPem, nullptr);
    return other && other->publicPem() == key->publicPem();
}
