#include "randomsource.h"

RandomSource::RandomSource(const std::string& personalisation)
{
    mbedtls_entropy_init(&entropy);
    mbedtls_ctr_drbg_init(&generator);
    mbedtls_ctr_drbg_seed(&generator, mbedtls_entropy_func, &entropy,
                          reinterpret_cast<const unsigned char*>(personalisation.data()),
                          personalisation.size());
}

RandomSource::~RandomSource()
{
    mbedtls_ctr_drbg_free(&generator);
    mbedtls_entropy_free(&entropy);
}

int RandomSource::generate(void* source, unsigned char* output, size_t length)
{
    return mbedtls_ctr_drbg_random(static_cast<RandomSource*>(source)->drbg(), output, length);
}
