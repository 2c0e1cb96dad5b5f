// The configuration keys the daemon reads, each with where it is read from,
// its type, its default and the longest value a reader takes. Read them with
// PortSettings (PortSettings.h), which applies all of that in one call:
//
//     PortSettings port("tty0");
//     int delay = port.Number(ConfigKeys::kPortCloseDelay);     // port, general, 8000
//     std::string server = port.Text(ConfigKeys::kServerAddress);  // port, cut to 511
//     int baud = port.Number(ConfigKeys::kBaud, currentBaud);    // default: current setting
//
// The key-schema tables of the control channel (which keys may be set and
// read back, and their types) are in ConfigKeySchema.h. Constants only.
#pragma once

#include <cstddef>

enum class KeyScope {
    Port,             // the port's section only
    General,          // the "[main]" section only
    PortThenGeneral,  // the port's section, else "[main]", else the default
};

struct NumberKey {
    const char* name;
    KeyScope scope;
    int defaultValue;
};

struct TextKey {
    const char* name;
    KeyScope scope;
    const char* defaultValue;
    // Longer values are cut to this many bytes when read; 0: no limit.
    size_t maxLength;
    // A general key read when the key itself is found nowhere; may be null.
    const char* lastResort = nullptr;
};

namespace ConfigKeys {

// Port manager.
inline constexpr TextKey kPorts{"Ports", KeyScope::General, "", 0};
inline constexpr NumberKey kTelnetModem{"TelnetModem", KeyScope::PortThenGeneral, 0};

// Device node.
inline constexpr TextKey kChmod{"chmod", KeyScope::PortThenGeneral, "", 127};
inline constexpr TextKey kChown{"chown", KeyScope::PortThenGeneral, "", 255};
inline constexpr TextKey kChgrp{"chgrp", KeyScope::PortThenGeneral, "", 255};

// Line settings. Their default is the port's current setting, which the
// caller passes: Number(key, current) / Text(key, current).
inline constexpr NumberKey kBaud{"Baud", KeyScope::Port, 0};
inline constexpr NumberKey kDataLength{"DataLength", KeyScope::Port, 0};  // 5 to 8
inline constexpr TextKey kParity{"Parity", KeyScope::Port, "", 15};
inline constexpr TextKey kStopBits{"StopBits", KeyScope::Port, "", 15};
inline constexpr TextKey kInFlow{"InFlow", KeyScope::Port, "", 15};
inline constexpr TextKey kOutFlow{"OutFlow", KeyScope::Port, "", 15};
inline constexpr TextKey kDTR{"DTR", KeyScope::Port, "", 15};
inline constexpr TextKey kRTS{"RTS", KeyScope::Port, "", 15};

// Virtual UART.
inline constexpr NumberKey kPortCloseDelay{"PortCloseDelay", KeyScope::PortThenGeneral, 8000};
inline constexpr NumberKey kDeferredPortOpen{"DeferredPortOpen", KeyScope::General, 0};

// Redirector.
inline constexpr TextKey kServerAddress{"ServerAddress", KeyScope::Port, "", 511};
inline constexpr NumberKey kAutoReconnect{"AutoReconnect", KeyScope::Port, 0};
inline constexpr NumberKey kInboundEnabled{"InboundEnabled", KeyScope::Port, 1};
inline constexpr NumberKey kOutboundEnabled{"OutboundEnabled", KeyScope::Port, 1};
inline constexpr NumberKey kIncomingPort{"IncomingPort", KeyScope::Port, 0};
inline constexpr NumberKey kTelnetMode{"TelnetMode", KeyScope::Port, 0};
inline constexpr NumberKey kTelnetCRMode{"TelnetCRMode", KeyScope::Port, 0};
inline constexpr NumberKey kDTREmulation{"DTREmulation", KeyScope::Port, 0};
inline constexpr NumberKey kDCDEmulationType{"DCDEmulationType", KeyScope::Port, 0};
inline constexpr NumberKey kDSREmulationType{"DSREmulationType", KeyScope::Port, 0};
inline constexpr NumberKey kCTSEmulationType{"CTSEmulationType", KeyScope::Port, 0};
inline constexpr NumberKey kDCDDSREmulation{"DCDDSREmulation", KeyScope::Port, 0};
inline constexpr NumberKey kTCPNODELAY{"TCPNODELAY", KeyScope::General, 0};
inline constexpr NumberKey kForceBaudRateThrottle{"ForceBaudRateThrottle", KeyScope::General, 0};
inline constexpr NumberKey kMaxReconnectDelay{"MaxReconnectDelay", KeyScope::General, 30000};
inline constexpr NumberKey kReconnectLatencyValue{"ReconnectLatencyValue", KeyScope::General, 1000};
inline constexpr NumberKey kFSXX{"FSXX", KeyScope::General, 0};

// Data pump and server login.
inline constexpr NumberKey kUpdateRouteTable{"UpdateRouteTable", KeyScope::General, 1};
inline constexpr NumberKey kReportCTS{"ReportCTS", KeyScope::General, 0};
inline constexpr NumberKey kIgnore2217Negotiation{"Ignore2217Negotiation", KeyScope::General, 0};
inline constexpr NumberKey kCPCKeepAliveTimer{"CPCKeepAliveTimer", KeyScope::General, 60000};
inline constexpr NumberKey kCPCKeepAliveWatch{"CPCKeepAliveWatch", KeyScope::General, 30000};
inline constexpr TextKey kLogin{"Login", KeyScope::Port, "", 4095};
// Stored scrambled: read it with PortSettings::Password, not Text.
inline constexpr TextKey kPassword{"Password", KeyScope::Port, "", 0};
inline constexpr TextKey kLoginPrompts1{"LoginPrompts1", KeyScope::PortThenGeneral, "", 4095};
inline constexpr TextKey kLoginPrompts2{"LoginPrompts2", KeyScope::PortThenGeneral, "", 4095};
inline constexpr TextKey kPasswordPrompts1{"PasswordPrompts1", KeyScope::PortThenGeneral, "", 4095};
inline constexpr TextKey kPasswordPrompts2{"PasswordPrompts2", KeyScope::PortThenGeneral, "", 4095};
inline constexpr TextKey kAuthTerminator{"AuthTerminator", KeyScope::PortThenGeneral, "", 31};
inline constexpr NumberKey kAuthSource{"AuthSource", KeyScope::Port, 3};  // 3: login automation

// TLS settings (stored and queried only).
inline constexpr NumberKey kTLSEnabled{"TLSEnabled", KeyScope::PortThenGeneral, 0};
inline constexpr NumberKey kTLSProtocol{"TLSProtocol", KeyScope::PortThenGeneral, 0};
inline constexpr NumberKey kTLSRequireValidatedCertificateEnabled{
    "TLSRequireValidatedCertificateEnabled", KeyScope::PortThenGeneral, 0};
inline constexpr NumberKey kTLSCertificateEnabled{"TLSCertificateEnabled",
                                                  KeyScope::PortThenGeneral, 0};
inline constexpr NumberKey kTLSMaxKeyLength{"TLSMaxKeyLength", KeyScope::PortThenGeneral,
                                            2147483647};
inline constexpr NumberKey kTLSMinKeyLength{"TLSMinKeyLength", KeyScope::PortThenGeneral, 40};
inline constexpr NumberKey kTLSCipherSet{"TLSCipherSet", KeyScope::PortThenGeneral, 31};
inline constexpr TextKey kTLSCAPath{"TLSCAPath", KeyScope::PortThenGeneral, "", 0,
                                    "TLSDefaultCAPath"};
inline constexpr TextKey kTLSCertificatePath{"TLSCertificatePath", KeyScope::PortThenGeneral, "", 0,
                                             "TLSDefaultCertificatePath"};
inline constexpr TextKey kTLSCertificatePassword{"TLSCertificatePassword",
                                                 KeyScope::PortThenGeneral, "", 0};
inline constexpr TextKey kTLSCertCountry{"TLSCertCountry", KeyScope::PortThenGeneral, "", 0};
inline constexpr TextKey kTLSCertState{"TLSCertState", KeyScope::PortThenGeneral, "", 0};
inline constexpr TextKey kTLSCertLocality{"TLSCertLocality", KeyScope::PortThenGeneral, "", 0};
inline constexpr TextKey kTLSCertOrganization{"TLSCertOrganization", KeyScope::PortThenGeneral, "",
                                              0};
inline constexpr TextKey kTLSCertOrganizationalUnit{"TLSCertOrganizationalUnit",
                                                    KeyScope::PortThenGeneral, "", 0};
inline constexpr TextKey kTLSCertCommonName{"TLSCertCommonName", KeyScope::PortThenGeneral, "", 0};
inline constexpr TextKey kTLSCertEmailAddress{"TLSCertEmailAddress", KeyScope::PortThenGeneral, "",
                                              0};

// DNS resolver.
inline constexpr NumberKey kUseGethostbyname{"UseGethostbyname", KeyScope::General, 0};

}  // namespace ConfigKeys
