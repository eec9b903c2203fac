// The interface ids the runtime transport hands out for its handlers are
// derived from type signatures; each constant is recomputed here from the
// signature, which in turn names the default-interface constants.
#include <gtest/gtest.h>

#include <string>

#include "ble/winrt_abi.h"
#include "ble/winrt_iid.h"

namespace qs {
namespace {

using namespace qs::winrt;

std::string Hex(const std::string& bytes) {
    static const char* digits = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out.push_back(digits[c >> 4]);
        out.push_back(digits[c & 15]);
    }
    return out;
}

TEST(WinRtIid, Sha1KnownVectors) {
    EXPECT_EQ(Hex(Sha1("")), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
    EXPECT_EQ(Hex(Sha1("abc")), "a9993e364706816aba3e25717850c26c9cd0d89d");
    EXPECT_EQ(Hex(Sha1("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq")),
              "84983e441c3bd26ebaae4aa1f95129e5e54670f1");
    EXPECT_EQ(Hex(Sha1(std::string(1000, 'a'))).size(), 40u);
}

TEST(WinRtIid, KnownRuntimeInstance) {
    // IAsyncOperation<Boolean>, a widely published value: checks the hash,
    // the namespace and the version bits independently of our table.
    EXPECT_EQ(GuidSignatureText(ParameterizedIid("pinterface({9fc2b0bb-e446-44e2-aa61-9cab8f636af2};b1)")),
              "{cdb5efb3-5788-509d-9be1-71ccb8a3362a}");
}

std::string Rc(const char* name, const GUID& defaultInterface) {
    return std::string("rc(") + name + ";" + GuidSignatureText(defaultInterface) + ")";
}

TEST(WinRtIid, EveryDerivedConstantMatchesItsSignature) {
    const std::string completed = "{fcdcf02c-e5d8-4478-915a-4d90b74b83a5}";
    const std::string typedEvent = "{9de1c534-6ae1-11e0-84e1-18a905bcc53f}";
    const char* gatt = "Windows.Devices.Bluetooth.GenericAttributeProfile.";
    struct Row {
        GUID constant;
        std::string signature;
        const char* what;
    };
    const Row rows[] = {
        {kIidAdapterCompleted,
         "pinterface(" + completed + ";" + Rc("Windows.Devices.Bluetooth.BluetoothAdapter", kIidBluetoothAdapter) + ")",
         "adapter"},
        {kIidLEDeviceCompleted,
         "pinterface(" + completed + ";" + Rc("Windows.Devices.Bluetooth.BluetoothLEDevice", kIidLEDevice) + ")",
         "device"},
        {kIidGattSessionCompleted,
         "pinterface(" + completed + ";" + Rc((std::string(gatt) + "GattSession").c_str(), kIidGattSession) + ")",
         "session"},
        {kIidServicesResultCompleted,
         "pinterface(" + completed + ";" +
             Rc((std::string(gatt) + "GattDeviceServicesResult").c_str(), kIidGattDeviceServicesResult) + ")",
         "services"},
        {kIidCharacteristicsResultCompleted,
         "pinterface(" + completed + ";" +
             Rc((std::string(gatt) + "GattCharacteristicsResult").c_str(), kIidGattCharacteristicsResult) + ")",
         "characteristics"},
        {kIidReadResultCompleted,
         "pinterface(" + completed + ";" + Rc((std::string(gatt) + "GattReadResult").c_str(), kIidGattReadResult) +
             ")",
         "read"},
        {kIidCommunicationStatusCompleted,
         "pinterface(" + completed + ";enum(" + gatt + "GattCommunicationStatus;i4))", "write status"},
        {kIidReceivedHandler,
         "pinterface(" + typedEvent + ";" +
             Rc("Windows.Devices.Bluetooth.Advertisement.BluetoothLEAdvertisementWatcher", kIidAdvertisementWatcher) +
             ";" +
             Rc("Windows.Devices.Bluetooth.Advertisement.BluetoothLEAdvertisementReceivedEventArgs",
                kIidAdvertisementReceivedEventArgs) +
             ")",
         "received"},
        {kIidConnectionStatusHandler,
         "pinterface(" + typedEvent + ";" + Rc("Windows.Devices.Bluetooth.BluetoothLEDevice", kIidLEDevice) +
             ";cinterface(IInspectable))",
         "connection status"},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(GuidSignatureText(ParameterizedIid(row.signature)), GuidSignatureText(row.constant))
            << row.what << ": " << row.signature;
    }
}

TEST(WinRtIid, SignatureTextIsLowerCaseWithBraces) {
    EXPECT_EQ(GuidSignatureText(kIidClosable), "{30d5a829-7fa4-4026-83bb-d75bae4ea99e}");
    EXPECT_EQ(GuidSignatureText(kIidBuffer), "{905a0fe0-bc53-11df-8c49-001e4fc686da}");
}

}  // namespace
}  // namespace qs
