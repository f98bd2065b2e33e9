// gcu-keytool: makes the RSA keys and keychains that the simulator, the packer
// and the secure upload use.
//
//   gcu-keytool genkey OUT.pem [BITS]         a new private key (default 2048 bits)
//   gcu-keytool orvkc KEY.pem OUT.orvkc       a device keychain file for the key
//   gcu-keytool keychain OUT KEY.pem...        a signer's keychain of public keys
#include "gcu.pb.h"
#include "rsakey.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <fstream>
#include <iostream>
#include <iterator>
#include <string>

namespace {

int usage(const QCommandLineParser& parser)
{
    std::cerr << parser.helpText().toStdString();
    return 2;
}

std::unique_ptr<RsaKey> loadKey(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    const std::string pem((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    std::string error;
    auto key = RsaKey::fromPrivatePem(pem, &error);
    if (!key)
        key = RsaKey::fromPublicPem(pem, &error);
    if (!key)
        std::cerr << "gcu-keytool: " << path << ": " << error << "\n";
    return key;
}

ModulePublicKey entryFor(const RsaKey& key)
{
    ModulePublicKey entry;
    entry.set_key_id(key.selector());
    entry.set_key(key.publicPem());
    return entry;
}

bool writeFile(const std::string& path, const std::string& bytes)
{
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file << bytes;
    if (!file.flush()) {
        std::cerr << "gcu-keytool: cannot write " << path << "\n";
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(
        "Makes the RSA keys and keychains that the simulator, the packer and the secure upload "
        "use.\n"
        "  genkey OUT.pem [BITS]      a new private key (default 2048 bits)\n"
        "  orvkc KEY.pem OUT.orvkc    a device keychain file for the key\n"
        "  keychain OUT KEY.pem...    a signer's keychain of public keys");
    parser.addHelpOption();
    parser.addPositionalArgument("command", "genkey, orvkc or keychain.");
    parser.addPositionalArgument("files", "The command's files.", "FILE...");
    parser.process(app);
    const QStringList arguments = parser.positionalArguments();
    if (arguments.size() < 2)
        return usage(parser);
    const QString command = arguments[0];
    auto file = [&](int index) { return arguments[index].toLocal8Bit().toStdString(); };
    if (command == "genkey" && arguments.size() <= 3) {
        bool ok = true;
        const unsigned bits = arguments.size() == 3 ? arguments[2].toUInt(&ok) : 2048;
        if (!ok)
            return usage(parser);
        std::string error;
        auto key = RsaKey::generate(bits, &error);
        if (!key) {
            std::cerr << "gcu-keytool: " << error << "\n";
            return 1;
        }
        return writeFile(file(1), key->privatePem()) ? 0 : 1;
    }
    if (command == "orvkc" && arguments.size() == 3) {
        auto key = loadKey(file(1));
        return key && writeFile(file(2), entryFor(*key).SerializeAsString()) ? 0 : 1;
    }
    if (command == "keychain" && arguments.size() >= 3) {
        Keychain keychain;
        for (int i = 2; i < arguments.size(); ++i) {
            auto key = loadKey(file(i));
            if (!key)
                return 1;
            *keychain.add_keys() = entryFor(*key);
        }
        return writeFile(file(1), keychain.SerializeAsString()) ? 0 : 1;
    }
    return usage(parser);
}
