#include "portinfoequality.h"

bool operator==(QSerialPortInfo a, QSerialPortInfo b)
{
    return a.systemLocation() == b.systemLocation() && a.portName() == b.portName() &&
           a.description() == b.description() && a.manufacturer() == b.manufacturer() &&
           a.serialNumber() == b.serialNumber();
}
