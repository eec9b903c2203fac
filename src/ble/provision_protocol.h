// What travels over the air to a device being provisioned: the two JSON
// commands, the status it answers with, and the rules for sending.
#pragma once
#include <cstdint>
#include <string>

namespace qs {

// A device's network status as read from the provisioning characteristic.
struct ProvisionStatus {
    bool valid = false;
    int netStatus = 0;   // 1 not provisioned, 2 joining, 3 has an IP, 4 online
    int linkType = -1;   // 0 Ethernet, 1 Wi-Fi, 2 4G
    int ipMode = -1;     // 0 DHCP, 1 static
    bool hasDualWifi = false;
    bool dualWifi = false;
    std::wstring ssid, ip, netmask, gateway, dns;
};

// The 16-bit ids on the Bluetooth base UUID; only a UUID's first 32-bit
// field is compared.
inline constexpr uint32_t kProvisionServiceId = 0x000000EE;
inline constexpr uint32_t kProvisionCharacteristicId = 0x0000EE01;

// Default ATT MTU and the attribute header of one write.
inline constexpr int kDefaultPdu = 23;
inline constexpr int kWriteHeaderBytes = 3;

// Limits in UTF-16 code units after trimming.
inline constexpr size_t kMaxSsidUnits = 32;
inline constexpr size_t kMaxPasswordUnits = 64;

// E(text): UTF-8 with bytes 0x00-0x1F dropped and " and \ escaped.
std::string EscapeField(const std::wstring& text);
std::string BuildWifiCommand(const std::wstring& ssid, const std::wstring& password);
// With isStatic false the four texts are ignored (the short DHCP command).
std::string BuildIpCommand(bool isStatic, const std::wstring& ip, const std::wstring& netmask,
                           const std::wstring& gateway, const std::wstring& dns);

// False, leaving *status untouched, when the text is not JSON (an object).
bool ParseStatus(const std::string& text, ProvisionStatus* status);

// Milliseconds to the next status read while connected; 0 stops polling.
int PollInterval(const ProvisionStatus& status);
inline constexpr int kPollAfterWriteMs = 1000;

// White space trimmed at both ends.
std::wstring TrimSpace(const std::wstring& text);

// What the Wi-Fi form may send, in the order it is checked.
enum class WifiInputCheck { kOk, kEmptyName, kNameTooLong, kPasswordTooLong };
WifiInputCheck CheckWifiInput(const std::wstring& trimmedName, const std::wstring& trimmedPassword);
// The name looks like a 5 GHz network and the device has not said it can
// use one: the user must confirm.
bool NeedsFiveGhzConfirmation(const std::wstring& trimmedName, bool dualWifiSeen);
// Static addressing needs all four fields.
bool StaticIpComplete(const std::wstring& ip, const std::wstring& netmask,
                      const std::wstring& gateway, const std::wstring& dns);

// Write sizes: keep re-reading the PDU size while the command does not fit
// and the link is still at the default.
bool PduSettled(int maxPdu, size_t commandBytes);

// The failure code of a failed write: ErrPacketTooSmall (4) when the
// command did not fit the negotiated size, else ErrWriteFailed (5).
int ClassifyWriteFailure(int maxPdu, size_t commandBytes);

}  // namespace qs
