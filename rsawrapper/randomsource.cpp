#include "randomsource.h"

RandomSource::RandomSource(const std::string& personalisation)
{
    mbedtls_entropy_init(&entropy);
    mbedtls_ctr_drbg_init(&generator);
    seeded = mbedtls_ctr_drbg_seed(&generator, mbedtls_entropy_func, &entropy,
                                   reinterpret_cast<const unsigned char*>(personalisation.data()),
                                   personalisation.size()) == 0;
}

RandomSource::~RandomSource()
{
    mbedtls_ctr_drbg_free(&generator);
    mbedtls_entropy_free(&entropy);
}

int RandomSource::generate(void* source, unsigned char* output, size_t length)
{
    auto* random = static_cast<RandomSource*>(source);
    // An unseeded generator would still produce bytes, and predictable ones.
    if (!random->seeded)
        return MBEDTLS_ERR_CTR_DRBG_ENTROPY_SOURCE_FAILED;
    return mbedtls_ctr_drbg_random(random->drbg(), output, length);
}
