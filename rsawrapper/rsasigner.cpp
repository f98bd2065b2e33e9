#include "rsasigner.h"

#include "firmware.pb.h"

RsaSigner::RsaSigner(std::unique_ptr<RsaKey> signingKey)
    : key(std::move(signingKey)), selector(key->selector())
{
}

std::string RsaSigner::sign(const std::string& data) const
{
    SignedData signedData;
    signedData.set_data(data);
    signedData.set_signature(key->sign(data));
    signedData.set_key_id(selector);
    return signedData.SerializeAsString();
}
