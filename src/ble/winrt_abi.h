// The few Windows Runtime interfaces the Bluetooth LE transport calls,
// declared from the public Windows API metadata: interface ids and method
// order (the vtable) must match it exactly. Methods this system never calls
// keep their slot with loose parameter types.
//
// MinGW-w64's headers bring IInspectable, HSTRING, IAsyncInfo and
// EventRegistrationToken, but no Bluetooth or data reader/writer types.
#pragma once
#include <windows.h>
#include <inspectable.h>
#include <hstring.h>
#include <asyncinfo.h>
#include <eventtoken.h>

#include <cstdint>

namespace qs::winrt {

using boolean8 = unsigned char;  // the runtime's boolean

// IBluetoothAdapterStatics
inline constexpr GUID kIidBluetoothAdapterStatics = {0x8b02fb6a, 0xac4c, 0x4741, {0x86, 0x61, 0x8e, 0xab, 0x7d, 0x17, 0xea, 0x9f}};
// IBluetoothAdapter (default of BluetoothAdapter)
inline constexpr GUID kIidBluetoothAdapter = {0x7974f04c, 0x5f7a, 0x4a34, {0x92, 0x25, 0xa8, 0x55, 0xf8, 0x4b, 0x1a, 0x8b}};
// IBluetoothLEAdvertisementWatcher (default)
inline constexpr GUID kIidAdvertisementWatcher = {0xa6ac336f, 0xf3d3, 0x4297, {0x8d, 0x6c, 0xc8, 0x1e, 0xa6, 0x62, 0x3f, 0x40}};
// IBluetoothLEAdvertisementReceivedEventArgs (default)
inline constexpr GUID kIidAdvertisementReceivedEventArgs = {0x27987ddf, 0xe596, 0x41be, {0x8d, 0x43, 0x9e, 0x67, 0x31, 0xd4, 0xa9, 0x13}};
// IBluetoothLEAdvertisementReceivedEventArgs2
inline constexpr GUID kIidAdvertisementReceivedEventArgs2 = {0x12d9c87b, 0x0399, 0x5f0e, {0xa3, 0x48, 0x53, 0xb0, 0x2b, 0x6b, 0x16, 0x2e}};
// IBluetoothLEAdvertisement
inline constexpr GUID kIidAdvertisement = {0x066fb2b7, 0x33d1, 0x4e7d, {0x83, 0x67, 0xcf, 0x81, 0xd0, 0xf7, 0x96, 0x53}};
// IBluetoothLEDeviceStatics
inline constexpr GUID kIidLEDeviceStatics = {0xc8cf1a19, 0xf0b6, 0x4bf0, {0x86, 0x89, 0x41, 0x30, 0x3d, 0xe2, 0xd9, 0xf4}};
// IBluetoothLEDeviceStatics2
inline constexpr GUID kIidLEDeviceStatics2 = {0x5f12c06b, 0x3bac, 0x43e8, {0xad, 0x16, 0x56, 0x32, 0x71, 0xbd, 0x41, 0xc2}};
// IBluetoothLEDevice (default)
inline constexpr GUID kIidLEDevice = {0xb5ee2f7b, 0x4ad8, 0x4642, {0xac, 0x48, 0x80, 0xa0, 0xb5, 0x00, 0xe8, 0x87}};
// IBluetoothLEDevice3
inline constexpr GUID kIidLEDevice3 = {0xaee9e493, 0x44ac, 0x40dc, {0xaf, 0x33, 0xb2, 0xc1, 0x3c, 0x01, 0xca, 0x46}};
// IBluetoothLEDevice4
inline constexpr GUID kIidLEDevice4 = {0x2b605031, 0x2248, 0x4b2f, {0xac, 0xf0, 0x7c, 0xee, 0x36, 0xfc, 0x58, 0x70}};
// IGattSessionStatics
inline constexpr GUID kIidGattSessionStatics = {0x2e65b95c, 0x539f, 0x4db7, {0x82, 0xa8, 0x73, 0xbd, 0xbb, 0xf7, 0x3e, 0xbf}};
// IGattSession (default)
inline constexpr GUID kIidGattSession = {0xd23b5143, 0xe04e, 0x4c24, {0x99, 0x9c, 0x9c, 0x25, 0x6f, 0x98, 0x56, 0xb1}};
// IGattDeviceServicesResult (default)
inline constexpr GUID kIidGattDeviceServicesResult = {0x171dd3ee, 0x016d, 0x419d, {0x83, 0x8a, 0x57, 0x6c, 0xf4, 0x75, 0xa3, 0xd8}};
// IGattDeviceService (default)
inline constexpr GUID kIidGattDeviceService = {0xac7b7c05, 0xb33c, 0x47cf, {0x99, 0x0f, 0x6b, 0x8f, 0x55, 0x77, 0xdf, 0x71}};
// IGattDeviceService3
inline constexpr GUID kIidGattDeviceService3 = {0xb293a950, 0x0c53, 0x437c, {0xa9, 0xb3, 0x5c, 0x32, 0x10, 0xc6, 0xe5, 0x69}};
// IGattCharacteristicsResult (default)
inline constexpr GUID kIidGattCharacteristicsResult = {0x1194945c, 0xb257, 0x4f3e, {0x9d, 0xb7, 0xf6, 0x8b, 0xc9, 0xa9, 0xae, 0xf2}};
// IGattCharacteristic (default)
inline constexpr GUID kIidGattCharacteristic = {0x59cb50c1, 0x5934, 0x4f68, {0xa1, 0x98, 0xeb, 0x86, 0x4f, 0xa4, 0x4e, 0x6b}};
// IGattReadResult (default)
inline constexpr GUID kIidGattReadResult = {0x63a66f08, 0x1aea, 0x4c4c, {0xa5, 0x0f, 0x97, 0xba, 0xe4, 0x74, 0xb3, 0x48}};
// IBuffer
inline constexpr GUID kIidBuffer = {0x905a0fe0, 0xbc53, 0x11df, {0x8c, 0x49, 0x00, 0x1e, 0x4f, 0xc6, 0x86, 0xda}};
// IDataReaderStatics
inline constexpr GUID kIidDataReaderStatics = {0x11fcbfc8, 0xf93a, 0x471b, {0xb1, 0x21, 0xf3, 0x79, 0xe3, 0x49, 0x31, 0x3c}};
// IDataReader
inline constexpr GUID kIidDataReader = {0xe2b50029, 0xb4c1, 0x4314, {0xa4, 0xb8, 0xfb, 0x81, 0x3a, 0x2f, 0x27, 0x5e}};
// IDataWriter
inline constexpr GUID kIidDataWriter = {0x64b89265, 0xd341, 0x4922, {0xb3, 0x8a, 0xdd, 0x4a, 0xf8, 0x80, 0x8c, 0x4e}};
// IClosable
inline constexpr GUID kIidClosable = {0x30d5a829, 0x7fa4, 0x4026, {0x83, 0xbb, 0xd7, 0x5b, 0xae, 0x4e, 0xa9, 0x9e}};
// IAsyncInfo (MinGW declares it but its import library lacks the id)
inline constexpr GUID kIidAsyncInfo = {0x00000036, 0x0000, 0x0000, {0xc0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
// IAgileObject
inline constexpr GUID kIidAgileObject = {0x94ea2b94, 0xe9cc, 0x49e0, {0xc0, 0xff, 0xee, 0x64, 0xca, 0x8f, 0x5b, 0x90}};

// Parameterized interfaces: derived from their type signatures (UUID
// version 5 over SHA-1), each checked against ParameterizedIid in a test.
// AsyncOperationCompletedHandler<BluetoothAdapter>
inline constexpr GUID kIidAdapterCompleted = {0x10a10a88, 0x90e0, 0x511a, {0x9a, 0x08, 0xd7, 0x5f, 0xeb, 0x52, 0xa1, 0x9f}};
// AsyncOperationCompletedHandler<BluetoothLEDevice>
inline constexpr GUID kIidLEDeviceCompleted = {0x9156b79f, 0xc54a, 0x5277, {0x8f, 0x8b, 0xd2, 0xcc, 0x43, 0xc7, 0xe0, 0x04}};
// AsyncOperationCompletedHandler<GattSession>
inline constexpr GUID kIidGattSessionCompleted = {0xcae01a28, 0xfd33, 0x542e, {0xa5, 0xad, 0x3d, 0x87, 0x8f, 0x73, 0xdb, 0x90}};
// AsyncOperationCompletedHandler<GattDeviceServicesResult>
inline constexpr GUID kIidServicesResultCompleted = {0x74ab0892, 0xa631, 0x5d6c, {0xb1, 0xb4, 0xbd, 0x2e, 0x1a, 0x74, 0x1a, 0x9b}};
// AsyncOperationCompletedHandler<GattCharacteristicsResult>
inline constexpr GUID kIidCharacteristicsResultCompleted = {0xd6a15475, 0x1e72, 0x5c56, {0x98, 0xe8, 0x88, 0xf4, 0xbc, 0x3e, 0x03, 0x13}};
// AsyncOperationCompletedHandler<GattReadResult>
inline constexpr GUID kIidReadResultCompleted = {0xd8992aa0, 0xeac2, 0x55b7, {0x92, 0xc5, 0x89, 0x48, 0x86, 0xbe, 0xb0, 0xca}};
// AsyncOperationCompletedHandler<GattCommunicationStatus>
inline constexpr GUID kIidCommunicationStatusCompleted = {0x2154117a, 0x978d, 0x59db, {0x99, 0xcf, 0x6b, 0x69, 0x0c, 0xb3, 0x38, 0x9b}};
// TypedEventHandler<BluetoothLEAdvertisementWatcher, BluetoothLEAdvertisementReceivedEventArgs>
inline constexpr GUID kIidReceivedHandler = {0x90eb4eca, 0xd465, 0x5ea0, {0xa6, 0x1c, 0x03, 0x3c, 0x8c, 0x5e, 0xce, 0xf2}};
// TypedEventHandler<BluetoothLEDevice, IInspectable>
inline constexpr GUID kIidConnectionStatusHandler = {0xa90661e2, 0x372e, 0x5d1e, {0xbb, 0xbb, 0xb8, 0xa2, 0xce, 0x0e, 0x7c, 0x4d}};

// Enumerations used (values from the metadata).
enum : int32_t {
    kScanningModeActive = 1,           // BluetoothLEScanningMode
    kCacheModeUncached = 1,            // BluetoothCacheMode
    kConnectionStatusDisconnected = 0, // BluetoothConnectionStatus
    kGattSuccess = 0,                  // GattCommunicationStatus
    kWriteWithResponse = 0,            // GattWriteOption
};

// IAsyncOperation<T>: results are an interface pointer or, for enums, int32.
template <typename Result>
struct IAsyncOperation : IInspectable {
    virtual HRESULT STDMETHODCALLTYPE put_Completed(IUnknown* handler) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Completed(IUnknown** handler) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetResults(Result* results) = 0;
};

// AsyncOperationCompletedHandler<T>
template <typename Result>
struct IAsyncOperationCompletedHandler : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE Invoke(IAsyncOperation<Result>* operation, AsyncStatus status) = 0;
};

// TypedEventHandler<Sender, Args>
struct ITypedEventHandler : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE Invoke(IInspectable* sender, IInspectable* args) = 0;
};

template <typename T>
struct IVectorView : IInspectable {
    virtual HRESULT STDMETHODCALLTYPE GetAt(UINT32 index, T* item) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Size(UINT32* size) = 0;
    virtual HRESULT STDMETHODCALLTYPE IndexOf(T value, UINT32* index, boolean8* found) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetMany(UINT32 start, UINT32 capacity, T* items, UINT32* actual) = 0;
};

struct IClosable : IInspectable {
    virtual HRESULT STDMETHODCALLTYPE Close() = 0;
};

struct IBuffer : IInspectable {
    virtual HRESULT STDMETHODCALLTYPE get_Capacity(UINT32* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Length(UINT32* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_Length(UINT32 value) = 0;
};

struct IDataReader : IInspectable {
    virtual HRESULT STDMETHODCALLTYPE get_UnconsumedBufferLength(UINT32* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_UnicodeEncoding(int32_t* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_UnicodeEncoding(int32_t value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_ByteOrder(int32_t* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_ByteOrder(int32_t value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_InputStreamOptions(int32_t* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_InputStreamOptions(int32_t value) = 0;
    virtual HRESULT STDMETHODCALLTYPE ReadByte(BYTE* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE ReadBytes(UINT32 count, BYTE* value) = 0;
};

struct IDataReaderStatics : IInspectable {
    virtual HRESULT STDMETHODCALLTYPE FromBuffer(IBuffer* buffer, IDataReader** reader) = 0;
};

struct IDataWriter : IInspectable {
    virtual HRESULT STDMETHODCALLTYPE get_UnstoredBufferLength(UINT32* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_UnicodeEncoding(int32_t* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_UnicodeEncoding(int32_t value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_ByteOrder(int32_t* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_ByteOrder(int32_t value) = 0;
    virtual HRESULT STDMETHODCALLTYPE WriteByte(BYTE value) = 0;
    virtual HRESULT STDMETHODCALLTYPE WriteBytes(UINT32 count, BYTE* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE WriteBuffer(IBuffer* buffer) = 0;
    virtual HRESULT STDMETHODCALLTYPE WriteBufferRange(IBuffer* buffer, UINT32 start, UINT32 count) = 0;
    virtual HRESULT STDMETHODCALLTYPE WriteBoolean(boolean8 value) = 0;
    virtual HRESULT STDMETHODCALLTYPE WriteGuid(GUID value) = 0;
    virtual HRESULT STDMETHODCALLTYPE WriteInt16(INT16 value) = 0;
    virtual HRESULT STDMETHODCALLTYPE WriteInt32(INT32 value) = 0;
    virtual HRESULT STDMETHODCALLTYPE WriteInt64(INT64 value) = 0;
    virtual HRESULT STDMETHODCALLTYPE WriteUInt16(UINT16 value) = 0;
    virtual HRESULT STDMETHODCALLTYPE WriteUInt32(UINT32 value) = 0;
    virtual HRESULT STDMETHODCALLTYPE WriteUInt64(UINT64 value) = 0;
    virtual HRESULT STDMETHODCALLTYPE WriteSingle(FLOAT value) = 0;
    virtual HRESULT STDMETHODCALLTYPE WriteDouble(DOUBLE value) = 0;
    virtual HRESULT STDMETHODCALLTYPE WriteDateTime(INT64 value) = 0;
    virtual HRESULT STDMETHODCALLTYPE WriteTimeSpan(INT64 value) = 0;
    virtual HRESULT STDMETHODCALLTYPE WriteString(HSTRING value, UINT32* codeUnits) = 0;
    virtual HRESULT STDMETHODCALLTYPE MeasureString(HSTRING value, UINT32* codeUnits) = 0;
    virtual HRESULT STDMETHODCALLTYPE StoreAsync(void** operation) = 0;
    virtual HRESULT STDMETHODCALLTYPE FlushAsync(void** operation) = 0;
    virtual HRESULT STDMETHODCALLTYPE DetachBuffer(IBuffer** buffer) = 0;
    virtual HRESULT STDMETHODCALLTYPE DetachStream(void** stream) = 0;
};

struct IBluetoothAdapter : IInspectable {
    virtual HRESULT STDMETHODCALLTYPE get_DeviceId(HSTRING* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_BluetoothAddress(UINT64* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_IsClassicSupported(boolean8* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_IsLowEnergySupported(boolean8* value) = 0;
};

struct IBluetoothAdapterStatics : IInspectable {
    virtual HRESULT STDMETHODCALLTYPE GetDeviceSelector(HSTRING* result) = 0;
    virtual HRESULT STDMETHODCALLTYPE FromIdAsync(HSTRING id, void** operation) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetDefaultAsync(IAsyncOperation<IBluetoothAdapter*>** operation) = 0;
};

struct IBluetoothLEAdvertisement : IInspectable {
    virtual HRESULT STDMETHODCALLTYPE get_Flags(void** value) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_Flags(void* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_LocalName(HSTRING* value) = 0;
};

struct IBluetoothLEAdvertisementReceivedEventArgs : IInspectable {
    virtual HRESULT STDMETHODCALLTYPE get_RawSignalStrengthInDBm(INT16* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_BluetoothAddress(UINT64* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_AdvertisementType(int32_t* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Timestamp(INT64* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Advertisement(IBluetoothLEAdvertisement** value) = 0;
};

struct IBluetoothLEAdvertisementReceivedEventArgs2 : IInspectable {
    virtual HRESULT STDMETHODCALLTYPE get_BluetoothAddressType(int32_t* value) = 0;
};

struct IBluetoothLEAdvertisementWatcher : IInspectable {
    virtual HRESULT STDMETHODCALLTYPE get_MinSamplingInterval(INT64* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_MaxSamplingInterval(INT64* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_MinOutOfRangeTimeout(INT64* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_MaxOutOfRangeTimeout(INT64* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Status(int32_t* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_ScanningMode(int32_t* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_ScanningMode(int32_t value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_SignalStrengthFilter(void** value) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_SignalStrengthFilter(void* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_AdvertisementFilter(void** value) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_AdvertisementFilter(void* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE Start() = 0;
    virtual HRESULT STDMETHODCALLTYPE Stop() = 0;
    virtual HRESULT STDMETHODCALLTYPE add_Received(ITypedEventHandler* handler, EventRegistrationToken* token) = 0;
    virtual HRESULT STDMETHODCALLTYPE remove_Received(EventRegistrationToken token) = 0;
};

struct IGattCharacteristic;
struct IGattDeviceService;

struct IGattReadResult : IInspectable {
    virtual HRESULT STDMETHODCALLTYPE get_Status(int32_t* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Value(IBuffer** value) = 0;
};

struct IGattCharacteristic : IInspectable {
    virtual HRESULT STDMETHODCALLTYPE GetDescriptors(GUID uuid, void** value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_CharacteristicProperties(int32_t* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_ProtectionLevel(int32_t* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_ProtectionLevel(int32_t value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_UserDescription(HSTRING* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Uuid(GUID* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_AttributeHandle(UINT16* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_PresentationFormats(void** value) = 0;
    virtual HRESULT STDMETHODCALLTYPE ReadValueAsync(IAsyncOperation<IGattReadResult*>** operation) = 0;
    virtual HRESULT STDMETHODCALLTYPE ReadValueWithCacheModeAsync(int32_t cacheMode,
                                                                  IAsyncOperation<IGattReadResult*>** operation) = 0;
    virtual HRESULT STDMETHODCALLTYPE WriteValueAsync(IBuffer* value, IAsyncOperation<int32_t>** operation) = 0;
    virtual HRESULT STDMETHODCALLTYPE WriteValueWithOptionAsync(IBuffer* value, int32_t option,
                                                                IAsyncOperation<int32_t>** operation) = 0;
};

struct IGattCharacteristicsResult : IInspectable {
    virtual HRESULT STDMETHODCALLTYPE get_Status(int32_t* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_ProtocolError(void** value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Characteristics(IVectorView<IGattCharacteristic*>** value) = 0;
};

struct IGattDeviceService : IInspectable {
    virtual HRESULT STDMETHODCALLTYPE GetCharacteristics(GUID uuid, void** value) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetIncludedServices(GUID uuid, void** value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_DeviceId(HSTRING* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Uuid(GUID* value) = 0;
};

struct IGattDeviceService3 : IInspectable {
    virtual HRESULT STDMETHODCALLTYPE get_DeviceAccessInformation(void** value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Session(void** value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_SharingMode(int32_t* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE RequestAccessAsync(void** operation) = 0;
    virtual HRESULT STDMETHODCALLTYPE OpenAsync(int32_t mode, void** operation) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetCharacteristicsAsync(IAsyncOperation<IGattCharacteristicsResult*>** operation) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetCharacteristicsWithCacheModeAsync(
        int32_t cacheMode, IAsyncOperation<IGattCharacteristicsResult*>** operation) = 0;
};

struct IGattDeviceServicesResult : IInspectable {
    virtual HRESULT STDMETHODCALLTYPE get_Status(int32_t* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_ProtocolError(void** value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Services(IVectorView<IGattDeviceService*>** value) = 0;
};

struct IGattSession : IInspectable {
    virtual HRESULT STDMETHODCALLTYPE get_DeviceId(void** value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_CanMaintainConnection(boolean8* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_MaintainConnection(boolean8 value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_MaintainConnection(boolean8* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_MaxPduSize(UINT16* value) = 0;
};

struct IGattSessionStatics : IInspectable {
    // deviceId is a BluetoothDeviceId (IBluetoothDeviceId).
    virtual HRESULT STDMETHODCALLTYPE FromDeviceIdAsync(IInspectable* deviceId,
                                                        IAsyncOperation<IGattSession*>** operation) = 0;
};

struct IBluetoothLEDevice : IInspectable {
    virtual HRESULT STDMETHODCALLTYPE get_DeviceId(HSTRING* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Name(HSTRING* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_GattServices(void** value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_ConnectionStatus(int32_t* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_BluetoothAddress(UINT64* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetGattService(GUID uuid, void** service) = 0;
    virtual HRESULT STDMETHODCALLTYPE add_NameChanged(IUnknown* handler, EventRegistrationToken* token) = 0;
    virtual HRESULT STDMETHODCALLTYPE remove_NameChanged(EventRegistrationToken token) = 0;
    virtual HRESULT STDMETHODCALLTYPE add_GattServicesChanged(IUnknown* handler, EventRegistrationToken* token) = 0;
    virtual HRESULT STDMETHODCALLTYPE remove_GattServicesChanged(EventRegistrationToken token) = 0;
    virtual HRESULT STDMETHODCALLTYPE add_ConnectionStatusChanged(ITypedEventHandler* handler,
                                                                  EventRegistrationToken* token) = 0;
    virtual HRESULT STDMETHODCALLTYPE remove_ConnectionStatusChanged(EventRegistrationToken token) = 0;
};

struct IBluetoothLEDevice3 : IInspectable {
    virtual HRESULT STDMETHODCALLTYPE get_DeviceAccessInformation(void** value) = 0;
    virtual HRESULT STDMETHODCALLTYPE RequestAccessAsync(void** operation) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetGattServicesAsync(IAsyncOperation<IGattDeviceServicesResult*>** operation) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetGattServicesWithCacheModeAsync(
        int32_t cacheMode, IAsyncOperation<IGattDeviceServicesResult*>** operation) = 0;
};

struct IBluetoothLEDevice4 : IInspectable {
    virtual HRESULT STDMETHODCALLTYPE get_BluetoothDeviceId(IInspectable** value) = 0;
};

struct IBluetoothLEDeviceStatics : IInspectable {
    virtual HRESULT STDMETHODCALLTYPE FromIdAsync(HSTRING id, IAsyncOperation<IBluetoothLEDevice*>** operation) = 0;
    virtual HRESULT STDMETHODCALLTYPE FromBluetoothAddressAsync(UINT64 address,
                                                                IAsyncOperation<IBluetoothLEDevice*>** operation) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetDeviceSelector(HSTRING* selector) = 0;
};

struct IBluetoothLEDeviceStatics2 : IInspectable {
    virtual HRESULT STDMETHODCALLTYPE GetDeviceSelectorFromPairingState(boolean8 paired, HSTRING* result) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetDeviceSelectorFromConnectionStatus(int32_t status, HSTRING* result) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetDeviceSelectorFromDeviceName(HSTRING name, HSTRING* result) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetDeviceSelectorFromBluetoothAddress(UINT64 address, HSTRING* result) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetDeviceSelectorFromBluetoothAddressWithBluetoothAddressType(
        UINT64 address, int32_t type, HSTRING* result) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetDeviceSelectorFromAppearance(void* appearance, HSTRING* result) = 0;
    virtual HRESULT STDMETHODCALLTYPE FromBluetoothAddressWithBluetoothAddressTypeAsync(
        UINT64 address, int32_t type, IAsyncOperation<IBluetoothLEDevice*>** operation) = 0;
};

}  // namespace qs::winrt
