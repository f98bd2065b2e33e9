// Writes the seed corpora of the fuzz targets: valid frames, answers, requests,
// firmware files and keys of every kind, for the fuzzers to start from.
//     fuzz-seeds DIR   (DIR/<target>/seed-N)
#include "firmware.pb.h"
#include "gcu.pb.h"
#include "rsakey.h"
#include "server.pb.h"

#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

namespace {

void write(const std::filesystem::path& dir, const std::vector<std::string>& seeds)
{
    std::filesystem::create_directories(dir);
    for (size_t i = 0; i < seeds.size(); ++i)
        std::ofstream(dir / ("seed-" + std::to_string(i)), std::ios::binary) << seeds[i];
}

std::string frame(const std::string& payload)
{
    std::string bytes;
    for (int shift = 0; shift < 32; shift += 8)
        bytes.push_back(static_cast<char>((payload.size() >> shift) & 0xff));
    return bytes + payload;
}

std::string response(const std::function<void(Response&)>& fill)
{
    Response r;
    fill(r);
    return r.SerializeAsString();
}

std::string request(const std::function<void(SoftwareServerRequest&)>& fill)
{
    SoftwareServerRequest r;
    fill(r);
    return r.SerializeAsString();
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2)
        return 2;
    const std::filesystem::path root = argv[1];
    const std::vector<std::string> answers = {
        response([](Response& r) { r.set_result(0); }),
        response([](Response& r) { r.set_result(3); }),
        response([](Response& r) { r.mutable_pong()->set_sequenceno(7); }),
        response([](Response& r) { r.mutable_public_key()->set_key("key"); }),
        response([](Response& r) {
            r.mutable_firmware_id()->set_version_word(0x0102);
            r.mutable_firmware_id()->set_flags_word(0x3005);
        }),
        response([](Response& r) { r.mutable_candump()->set_payload("12345678"); }),
        response([](Response& r) { r.mutable_logger_data()->add_values(-1); }),
        response([](Response& r) {
            r.mutable_map_tuner_get_map_label()->set_status(MAP_STATUS_FAILED);
        }),
        response([](Response& r) { r.mutable_map_tuner_get_map()->add_values(5); }),
        response([](Response& r) { r.mutable_read_configuration()->set_data("cfg"); }),
        response([](Response& r) { r.mutable_calibration_status()->set_status(CALIBRATION_DONE); }),
        std::string(),
    };
    write(root / "decoderesponse", answers);

    std::vector<std::string> windowSeeds = answers;
    windowSeeds.push_back(request([](SoftwareServerRequest& r) { r.mutable_get_serial_number(); }));
    windowSeeds.push_back(request([](SoftwareServerRequest& r) {
        r.mutable_get_firmware_versions()->add_versions()->set_name("1.0.0");
    }));
    windowSeeds.push_back(request([](SoftwareServerRequest& r) {
        r.mutable_send_packet_to_gcu()->set_packet("packet");
        r.mutable_send_packet_to_gcu()->set_steps_done(3);
        r.mutable_send_packet_to_gcu()->set_steps_total(10);
    }));
    write(root / "window", windowSeeds);

    write(root / "framecodec",
          {std::string(1, '\x17') + frame("abc") + frame("") + frame(std::string(300, 'x')),
           std::string(1, '\x01') + frame(answers[2]) + std::string("\xff\xff\xff\x7f", 4),
           std::string(1, '\x42') + std::string("\x05\x00\x00", 3)});

    FirmwareFile file;
    file.set_rsa_public_key("blob");
    file.set_aes_key("key");
    for (int i = 0; i < 5; ++i) {
        FirmwareCommand* command = file.add_commands();
        command->set_data("command " + std::to_string(i));
        command->set_checkpoint(i % 2 == 0);
    }
    const std::string serialised = file.SerializeAsString();
    std::string withResults(1, static_cast<char>((serialised.size() + 3) / 4));
    withResults += serialised;
    withResults.resize(1 + ((serialised.size() + 3) / 4) * 4, '\0');
    withResults += std::string("\x00\x00\x00\x01\x00\x02\x00\x04\x00\x00\x00", 11);
    write(root / "firmwareprocedure", {withResults, std::string("\x00\x00\x00", 3)});

    std::string error;
    auto key = RsaKey::generate(1024, &error);
    Keychain keychain;
    keychain.add_keys()->set_key_id(key->selector());
    keychain.mutable_keys(0)->set_key(key->publicPem());
    write(root / "rsawrapper", {key->privatePem(), keychain.SerializeAsString(), key->publicPem()});
    return 0;
}
