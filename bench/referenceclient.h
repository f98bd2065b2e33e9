#pragma once

#include "firmware.pb.h"

#include <string>
#include <vector>

// The least a stop-and-wait uploader can do: plain POSIX reads and writes of the
// same frames on the pseudo-terminal, each step sent once its success answer is in.
// It sends what the library's upload sends in the normal course (key blob, AES
// key, commands[1] onwards, the reset), so both move the same bytes.
class ReferenceClient
{
public:
    // Seconds for the whole upload, or a negative number when it failed.
    static double upload(const std::string& devicePath, const FirmwareFile& file);
    // Writes one frame and reads one answering frame; the answer's payload.
    static std::string roundTrip(int fd, const std::string& payload);
    static int openRaw(const std::string& devicePath);
    // The payloads of the steps an upload sends, each answered before the next.
    static std::vector<std::string> steps(const FirmwareFile& file);
};
