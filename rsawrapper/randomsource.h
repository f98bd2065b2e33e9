#pragma once

#include <mbedtls/ctr_drbg.h>
#include <mbedtls/entropy.h>
#include <string>

// A CTR-DRBG seeded from the platform's entropy, for the RSA operations that
// need randomness (blinding, padding). Should seeding fail, those operations
// fail in turn and report it.
class RandomSource
{
public:
    explicit RandomSource(const std::string& personalisation);
    ~RandomSource();
    RandomSource(const RandomSource&) = delete;
    RandomSource& operator=(const RandomSource&) = delete;

    // For Mbed TLS calls that take a generator and its context.
    static int generate(void* source, unsigned char* output, size_t length);
    mbedtls_ctr_drbg_context* drbg() { return &generator; }

private:
    mbedtls_entropy_context entropy;
    mbedtls_ctr_drbg_context generator;
    bool seeded = false;
};
