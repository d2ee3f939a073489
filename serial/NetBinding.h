// Ports on the network (internal): "rfc2217://HOST:PORT" is a serial port on a device server
// that speaks the Telnet COM Port Control protocol (data, line settings, DTR/RTS and the modem
// lines); "socket://HOST:PORT" is a raw TCP stream to a device server's port (data only).
// These names are typed by the user; no port list offers them.
#pragma once

#include <memory>
#include <string>

#include "serial/PortProvider.h"

// Splits "scheme://HOST:PORT" (HOST may be "[v6 address]"); false when the name is not of
// that form or the port is empty.
bool SplitNetworkName(const std::string& deviceName, std::string& scheme, std::string& host,
                      std::string& port);

std::unique_ptr<TPortBinding> CreateNetworkBinding(const std::string& deviceName);

// Time limits of the network ports, in milliseconds: connecting, and a server's answer to an
// option or a setting.
inline constexpr int kNetConnectTimeoutMs = 3000;
inline constexpr int kNetAnswerTimeoutMs = 3000;
// How late a device server's news of a modem line change may come: it reports what it sees
// when it looks, and device servers that poll their UART's lines look once a second.
inline constexpr int kNetModemNewsLateMs = 1250;
