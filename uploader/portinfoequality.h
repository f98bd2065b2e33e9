#pragma once

#include <QSerialPortInfo>

// Two descriptions of the same port: equal system location, port name,
// description, manufacturer and serial number. USB identifiers are not compared.
bool operator==(QSerialPortInfo a, QSerialPortInfo b);
