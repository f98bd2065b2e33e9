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

#include <QCommandLineParser>
#include <QCoreApplication>

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

void describeOptions(QCommandLineParser& parser)
{
    parser.setApplicationDescription("Packs a binary image into a firmware file (*.enc) for the "
                                     "simulated GCU's bootloader.");
    parser.addHelpOption();
    parser.addOptions({
        {"image", "The binary image to pack.", "IN.bin"},
        {"out", "The firmware file to write.", "OUT.enc"},
        {"device-key", "The GCU's key: a device keychain file (*.orvkc) or a PEM key.", "KEY"},
        {"plain", "Unencrypted records, for the secure upload to encrypt itself."},
        {"chunk", "Image bytes per command (default 4096).", "BYTES", "4096"},
        {"checkpoint-every", "A checkpoint every N commands (default 8).", "N", "8"},
        {"version", "The image's version (default 1.0.0).", "V", "1.0.0"},
    });
}

int usage(const QCommandLineParser& parser, const QString& problem)
{
    std::cerr << "gcu-fwpack: " << problem.toStdString() << "\n" << parser.helpText().toStdString();
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
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    describeOptions(parser);
    parser.process(app);
    Options options;
    options.image = parser.value("image").toStdString();
    options.out = parser.value("out").toStdString();
    options.deviceKey = parser.value("device-key").toStdString();
    options.plain = parser.isSet("plain");
    options.version = parser.value("version").toStdString();
    bool chunkOk = false;
    bool checkpointOk = false;
    options.chunk = parser.value("chunk").toULong(&chunkOk);
    options.checkpointEvery = parser.value("checkpoint-every").toInt(&checkpointOk);
    if (!parser.positionalArguments().isEmpty())
        return usage(parser, "unexpected argument " + parser.positionalArguments().first());
    if (options.image.empty() || options.out.empty())
        return usage(parser, "--image and --out are needed");
    if (!chunkOk || options.chunk == 0 || !checkpointOk || options.checkpointEvery <= 0)
        return usage(parser, "--chunk and --checkpoint-every take whole numbers of at least 1");
    if (options.deviceKey.empty() && !options.plain)
        return usage(parser, "--device-key or --plain is needed");

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
