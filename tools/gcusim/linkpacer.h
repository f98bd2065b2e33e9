#pragma once

#include <chrono>
#include <cstddef>

// One direction of the link a real GCU is reached over: when bytes handed to it
// have crossed. gcu-sim holds each command back until its last byte would have
// arrived and each answer until it would have been sent, so a client runs no
// faster against it than against the unit on that link.
//
// - A UART at N baud moves a byte in 10 bit times (start, 8 data, stop), back to
//   back.
// - A USB full-speed CDC link moves bulk data in packets of 64 bytes, at most 19
//   of them in a 1 ms frame; a transfer's first packet waits for the next frame.
//
// Bytes handed over while earlier ones are still crossing continue the same
// transfer, as the rest of a frame that the system delivered in pieces does.
class LinkPacer
{
public:
    using Clock = std::chrono::steady_clock;

    static LinkPacer unpaced() { return LinkPacer(Kind::Unpaced, 0); }
    static LinkPacer uart(int baud) { return LinkPacer(Kind::Uart, baud); }
    static LinkPacer usbFullSpeed() { return LinkPacer(Kind::UsbFullSpeed, 0); }

    bool paces() const { return kind != Kind::Unpaced; }
    // Hands `bytes` to the link at `now`; when the last of them is through.
    Clock::time_point pass(size_t bytes, Clock::time_point now);

    static constexpr size_t usbPacketBytes = 64;
    static constexpr int usbPacketsPerFrame = 19;
    static constexpr std::chrono::microseconds usbFrame{1000};

private:
    enum class Kind
    {
        Unpaced,
        Uart,
        UsbFullSpeed
    };
    LinkPacer(Kind kind, int baud) : kind(kind), baud(baud) {}

    Kind kind;
    int baud;
    Clock::time_point busyUntil{};
    Clock::time_point transferStart{};
    size_t transferBytes = 0;
};
