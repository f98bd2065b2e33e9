#pragma once

#include <QtGlobal>

// A loopback TCP port that is bound but not listened on: a connection to it is
// refused, and while this object lives no other test can take the port.
class RefusingPort
{
public:
    RefusingPort();
    ~RefusingPort();
    RefusingPort(const RefusingPort&) = delete;
    RefusingPort& operator=(const RefusingPort&) = delete;

    quint16 number() const { return port; }

private:
    int descriptor = -1;
    quint16 port = 0;
};
