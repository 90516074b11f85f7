#pragma once
// The stable names of a bus and of a meter on it, the same across restarts:
// MQTT topics, Home Assistant ids and metric labels are made from them.

#include <string>

// The port's /dev/serial/by-id name where its device has one (ttyUSB numbers
// change between boots, the by-id name does not); else the port name as
// given, without "/dev/" and a trailing colon. Only letters, digits, '-'
// and '_' are kept; anything else becomes '_', so the id fits an MQTT topic
// level and a Home Assistant id.
std::string BusId(const std::string& portName);
// BUS_ADDRESS, e.g. "usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0_3".
std::string MeterId(const std::string& busId, int address);
