// gcu-fwpack: packs a binary image into a firmware file (*.enc) for the simulated
// GCU's bootloader.
//
// commands[0] is a restart point that carries no data: in the normal course of
// an upload the first command sent is commands[1], so nothing of the image may
// depend on commands[0]. Every data command names its own place in the image.
#include "firmware.pb.h"
#include "flashrecord.h"
#include "gcu.pb.h"
#include "imagecipher.h"
#include "randomsource.h"
#include "rsakey.h"

#include <fstream>
#include <iostream>
#include <iterator>
#include <string>

namespace {

struct Options
{
    std::string image;
    std::string out;
    std::string deviceKey;
    size_t chunk = 4096;
    int checkpointEvery = 8;
    std::string version = "1.0.0";
    bool plain = false;
};

int usage()
{
    std::cerr << "usage: gcu-fwpack --image IN.bin --out OUT.enc (--device-key KEY | --plain)\n"
                 "                  [--chunk BYTES] [--checkpoint-every N] [--version 1.2.3]\n"
                 "  --device-key  the GCU's key: a device keychain file (*.orvkc) or a PEM key\n"
                 "  --plain       unencrypted records, for the secure upload to encrypt itself\n";
    return 2;
}

std::string readFile(const std::string& path, bool* ok)
{
    std::ifstream file(path, std::ios::binary);
    *ok = static_cast<bool>(file);
    return std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

std::unique_ptr<RsaKey> loadDeviceKey(const std::string& path)
{
    bool ok = false;
    const std::string bytes = readFile(path, &ok);
    if (!ok)
        return nullptr;
    ModulePublicKey keychainEntry;
    std::string error;
    if (keychainEntry.ParseFromString(bytes) && !keychainEntry.key().empty())
        return RsaKey::fromPublicPem(keychainEntry.key(), &error);
    auto key = RsaKey::fromPublicPem(bytes, &error);
    return key ? std::move(key) : RsaKey::fromPrivatePem(bytes, &error);
}

std::string randomBytes(RandomSource& random, size_t count)
{
    std::string out(count, '\0');
    RandomSource::generate(&random, reinterpret_cast<unsigned char*>(out.data()), count);
    return out;
}

} // namespace

int main(int argc, char** argv)
{
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--plain")
            options.plain = true;
        else if (arg == "--image" && hasValue)
            options.image = argv[++i];
        else if (arg == "--out" && hasValue)
            options.out = argv[++i];
        else if (arg == "--device-key" && hasValue)
            options.deviceKey = argv[++i];
        else if (arg == "--chunk" && hasValue)
            options.chunk = std::stoul(argv[++i]);
        else if (arg == "--checkpoint-every" && hasValue)
            options.checkpointEvery = std::stoi(argv[++i]);
        else if (arg == "--version" && hasValue)
            options.version = argv[++i];
        else
            return usage();
    }
    if (options.image.empty() || options.out.empty() || options.chunk == 0 ||
        options.checkpointEvery <= 0 || (options.deviceKey.empty() && !options.plain))
        return usage();

    const auto version = ImageVersion::parse(options.version);
    if (!version) {
        std::cerr << "gcu-fwpack: not a version: " << options.version << "\n";
        return 2;
    }
    bool ok = false;
    const std::string image = readFile(options.image, &ok);
    if (!ok) {
        std::cerr << "gcu-fwpack: cannot read " << options.image << "\n";
        return 1;
    }

    FirmwareFile file;
    file.set_description("image " + options.image + ", version " + options.version);
    RandomSource random("gcu-fwpack");
    std::string imageKey;
    if (!options.plain) {
        auto deviceKey = loadDeviceKey(options.deviceKey);
        if (!deviceKey) {
            std::cerr << "gcu-fwpack: no RSA key in " << options.deviceKey << "\n";
            return 1;
        }
        // The key blob says which device the image is for; the image key travels
        // wrapped for that device alone.
        imageKey = randomBytes(random, ImageCipher::keySize);
        file.set_rsa_public_key(deviceKey->publicPem());
        file.set_aes_key(deviceKey->encrypt(imageKey));
    }

    auto addRecord = [&](const FlashRecord& record, bool checkpoint) {
        FirmwareCommand* command = file.add_commands();
        const std::string bytes = record.encode();
        command->set_data(
            options.plain
                ? bytes
                : ImageCipher::seal(imageKey, randomBytes(random, ImageCipher::ivSize), bytes));
        command->set_checkpoint(checkpoint);
    };
    FlashRecord record;
    record.imageSize = static_cast<uint32_t>(image.size());
    record.version = *version;
    record.kind = FlashRecord::Begin;
    addRecord(record, true);
    record.kind = FlashRecord::Data;
    int index = 1;
    for (size_t offset = 0; offset < image.size(); offset += options.chunk, ++index) {
        record.offset = static_cast<uint32_t>(offset);
        record.data = image.substr(offset, options.chunk);
        addRecord(record, index % options.checkpointEvery == 0);
    }

    std::ofstream out(options.out, std::ios::binary | std::ios::trunc);
    if (!file.SerializeToOstream(&out) || !out.flush()) {
        std::cerr << "gcu-fwpack: cannot write " << options.out << "\n";
        return 1;
    }
    std::cout << "gcu-fwpack: " << file.commands_size() << " commands, " << image.size()
              << " bytes, version " << options.version << (options.plain ? ", plain" : "") << "\n";
    return 0;
}
