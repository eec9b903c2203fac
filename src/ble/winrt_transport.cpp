#include "ble/winrt_transport.h"

#include <atomic>
#include <mutex>
#include <utility>

#include "ble/provision_protocol.h"
#include "ble/winrt_abi.h"
#include "foundation/dynamic_proc.h"
#include "foundation/handles.h"
#include "foundation/logger.h"
#include "foundation/text.h"

namespace qs {

namespace {

using namespace qs::winrt;

// A runtime operation that never completes must not hold the worker (and
// the dialog's close) for ever.
constexpr DWORD kAwaitTimeoutMs = 30000;
// A characteristic value is at most 512 bytes by the GATT rules; anything
// far above that is not a status.
constexpr UINT32 kMaxValueBytes = 64 * 1024;

// Owner of one interface reference.
template <typename T>
class Ref {
public:
    Ref() = default;
    explicit Ref(T* p) : p_(p) {}
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    Ref& operator=(Ref&& o) noexcept {
        if (this != &o) reset(std::exchange(o.p_, nullptr));
        return *this;
    }
    ~Ref() { reset(); }
    T* get() const { return p_; }
    T* operator->() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }
    T** put() {
        reset();
        return &p_;
    }
    void reset(T* p = nullptr) {
        T* old = std::exchange(p_, p);
        if (old) old->Release();
    }
    template <typename U>
    Ref<U> As(const GUID& iid) const {
        Ref<U> out;
        if (p_) p_->QueryInterface(iid, reinterpret_cast<void**>(out.put()));
        return out;
    }

private:
    T* p_ = nullptr;
};

using RoGetActivationFactoryFn = HRESULT(WINAPI*)(HSTRING, REFIID, void**);
using RoActivateInstanceFn = HRESULT(WINAPI*)(HSTRING, IInspectable**);
using WindowsCreateStringFn = HRESULT(WINAPI*)(LPCWSTR, UINT32, HSTRING*);
using WindowsDeleteStringFn = HRESULT(WINAPI*)(HSTRING);
using WindowsGetStringRawBufferFn = PCWSTR(WINAPI*)(HSTRING, UINT32*);

// The runtime's entry points; absent before Windows 8.
class RuntimeApi {
public:
    static RuntimeApi& Get() {
        static RuntimeApi api;
        return api;
    }
    bool ok() const { return getFactory && activate && createString && deleteString && rawBuffer; }

    RoGetActivationFactoryFn getFactory = nullptr;
    RoActivateInstanceFn activate = nullptr;
    WindowsCreateStringFn createString = nullptr;
    WindowsDeleteStringFn deleteString = nullptr;
    WindowsGetStringRawBufferFn rawBuffer = nullptr;

private:
    RuntimeApi() : combase_(L"combase.dll") {
        getFactory = combase_.Find<RoGetActivationFactoryFn>("RoGetActivationFactory");
        activate = combase_.Find<RoActivateInstanceFn>("RoActivateInstance");
        createString = combase_.Find<WindowsCreateStringFn>("WindowsCreateString");
        deleteString = combase_.Find<WindowsDeleteStringFn>("WindowsDeleteString");
        rawBuffer = combase_.Find<WindowsGetStringRawBufferFn>("WindowsGetStringRawBuffer");
    }
    SystemLibrary combase_;
};

[[noreturn]] void Fail(const char* what, HRESULT hr, bool noAdapter = false) {
    BleTransportError error;
    error.text = Utf8ToWide(Format("%s (HRESULT 0x%08lX)", what, static_cast<unsigned long>(hr)));
    error.noAdapter = noAdapter;
    throw error;
}

void Check(HRESULT hr, const char* what) {
    if (FAILED(hr)) Fail(what, hr);
}

class HStr {
public:
    explicit HStr(const wchar_t* text) {
        RuntimeApi& api = RuntimeApi::Get();
        if (!api.ok()) Fail("WindowsCreateString", E_NOTIMPL, true);
        Check(api.createString(text, static_cast<UINT32>(wcslen(text)), &h_), "WindowsCreateString");
    }
    ~HStr() {
        if (h_) RuntimeApi::Get().deleteString(h_);
    }
    HStr(const HStr&) = delete;
    HStr& operator=(const HStr&) = delete;
    HSTRING get() const { return h_; }

private:
    HSTRING h_ = nullptr;
};

// Takes ownership of a string the runtime handed out.
std::wstring TakeString(HSTRING h) {
    if (!h) return std::wstring();
    RuntimeApi& api = RuntimeApi::Get();
    UINT32 length = 0;
    const wchar_t* raw = api.rawBuffer(h, &length);
    std::wstring out = raw ? std::wstring(raw, length) : std::wstring();
    api.deleteString(h);
    return out;
}

template <typename T>
Ref<T> Factory(const wchar_t* className, const GUID& iid) {
    RuntimeApi& api = RuntimeApi::Get();
    if (!api.ok()) Fail("RoGetActivationFactory", E_NOTIMPL, true);
    HStr name(className);
    Ref<T> factory;
    const HRESULT hr = api.getFactory(name.get(), iid, reinterpret_cast<void**>(factory.put()));
    // Class not registered (Wine, editions without Bluetooth LE support):
    // there is no adapter this system can use.
    if (FAILED(hr)) Fail("RoGetActivationFactory", hr, true);
    return factory;
}

// --- COM objects handed to the runtime ---------------------------------------

// Reference counting and QueryInterface for one handler interface; agile
// so the runtime may call it from any thread.
template <typename Base>
class HandlerBase : public Base {
public:
    explicit HandlerBase(const GUID& iid) : iid_(iid) {}
    virtual ~HandlerBase() = default;
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
        if (!out) return E_POINTER;
        if (IsEqualGUID(riid, iid_) || IsEqualGUID(riid, IID_IUnknown) || IsEqualGUID(riid, kIidAgileObject)) {
            *out = static_cast<Base*>(this);
            this->AddRef();
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++refs_); }
    ULONG STDMETHODCALLTYPE Release() override {
        const long left = --refs_;
        if (left == 0) delete this;
        return static_cast<ULONG>(left);
    }

private:
    std::atomic<long> refs_{1};
    GUID iid_;
};

template <typename Result>
class Completion : public HandlerBase<IAsyncOperationCompletedHandler<Result>> {
public:
    explicit Completion(const GUID& iid)
        : HandlerBase<IAsyncOperationCompletedHandler<Result>>(iid),
          done_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
    HRESULT STDMETHODCALLTYPE Invoke(IAsyncOperation<Result>*, AsyncStatus status) override {
        status_ = status;
        SetEvent(done_.get());
        return S_OK;
    }
    HANDLE done() const { return done_.get(); }
    AsyncStatus status() const { return status_; }

private:
    UniqueHandle done_;
    std::atomic<AsyncStatus> status_{Started};
};

// Waits on this thread for the operation's completion handler (no polling)
// and returns its results.
template <typename Result>
Result Await(IAsyncOperation<Result>* operation, const GUID& handlerIid, const char* what) {
    if (!operation) Fail(what, E_POINTER);
    Ref<IAsyncOperation<Result>> op(operation);
    Ref<Completion<Result>> handler(new Completion<Result>(handlerIid));
    if (!handler->done()) Fail(what, HRESULT_FROM_WIN32(GetLastError()));
    Check(op->put_Completed(handler.get()), what);
    Ref<IAsyncInfo> info = op.template As<IAsyncInfo>(kIidAsyncInfo);
    if (WaitForSingleObject(handler->done(), kAwaitTimeoutMs) != WAIT_OBJECT_0) {
        if (info) info->Cancel();
        Fail(what, HRESULT_FROM_WIN32(ERROR_TIMEOUT));
    }
    if (handler->status() != Completed) {
        HRESULT code = E_FAIL;
        if (info) info->get_ErrorCode(&code);
        Fail(what, FAILED(code) ? code : E_FAIL);
    }
    Result result{};
    Check(op->GetResults(&result), what);
    return result;
}

template <typename T>
Ref<T> AwaitRef(IAsyncOperation<T*>* operation, const GUID& handlerIid, const char* what) {
    return Ref<T>(Await<T*>(operation, handlerIid, what));
}

void CloseObject(IInspectable* object) {
    if (!object) return;
    Ref<IClosable> closable;
    if (SUCCEEDED(object->QueryInterface(kIidClosable, reinterpret_cast<void**>(closable.put())))) {
        closable->Close();
    }
}

// Forwards to a callback until disabled; the runtime may still hold the
// object (and call it once more) after the handler was removed.
class EventForwarder : public HandlerBase<ITypedEventHandler> {
public:
    using Callback = std::function<void(IInspectable* sender, IInspectable* args)>;
    EventForwarder(const GUID& iid, Callback callback)
        : HandlerBase<ITypedEventHandler>(iid), callback_(std::move(callback)) {}
    HRESULT STDMETHODCALLTYPE Invoke(IInspectable* sender, IInspectable* args) override {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!callback_) return S_OK;
        try {
            callback_(sender, args);
        } catch (...) {
            // Nothing may leave a runtime callback.
        }
        return S_OK;
    }
    void Disable() {
        std::lock_guard<std::mutex> lock(mutex_);
        callback_ = nullptr;
    }

private:
    std::mutex mutex_;
    Callback callback_;
};

// --- transport objects ---------------------------------------------------------

class WinRtCharacteristic : public BleCharacteristic {
public:
    explicit WinRtCharacteristic(Ref<IGattCharacteristic> c) : c_(std::move(c)) {}
    uint32_t ShortId() override {
        GUID uuid{};
        Check(c_->get_Uuid(&uuid), "GattCharacteristic.Uuid");
        return uuid.Data1;
    }
    bool Read(std::string* bytes) override {
        bytes->clear();
        IAsyncOperation<IGattReadResult*>* op = nullptr;
        Check(c_->ReadValueWithCacheModeAsync(kCacheModeUncached, &op), "ReadValueAsync");
        Ref<IGattReadResult> result = AwaitRef(op, kIidReadResultCompleted, "ReadValueAsync");
        if (!result) return false;
        int32_t status = -1;
        Check(result->get_Status(&status), "GattReadResult.Status");
        if (status != kGattSuccess) return false;
        Ref<IBuffer> buffer;
        Check(result->get_Value(buffer.put()), "GattReadResult.Value");
        if (!buffer) return true;
        Ref<IDataReaderStatics> statics =
            Factory<IDataReaderStatics>(L"Windows.Storage.Streams.DataReader", kIidDataReaderStatics);
        Ref<IDataReader> reader;
        Check(statics->FromBuffer(buffer.get(), reader.put()), "DataReader.FromBuffer");
        UINT32 length = 0;
        Check(reader->get_UnconsumedBufferLength(&length), "DataReader.UnconsumedBufferLength");
        if (length > kMaxValueBytes) Fail("GattReadResult.Value", HRESULT_FROM_WIN32(ERROR_INVALID_DATA));
        std::string data(length, '\0');
        if (length) {
            Check(reader->ReadBytes(length, reinterpret_cast<BYTE*>(data.data())), "DataReader.ReadBytes");
        }
        CloseObject(reader.get());
        *bytes = std::move(data);
        return true;
    }
    int Write(const std::string& bytes) override {
        RuntimeApi& api = RuntimeApi::Get();
        HStr name(L"Windows.Storage.Streams.DataWriter");
        Ref<IInspectable> instance;
        Check(api.activate(name.get(), instance.put()), "DataWriter");
        Ref<IDataWriter> writer = instance.As<IDataWriter>(kIidDataWriter);
        if (!writer) Fail("DataWriter", E_NOINTERFACE);
        std::string copy = bytes;
        Check(writer->WriteBytes(static_cast<UINT32>(copy.size()), reinterpret_cast<BYTE*>(copy.data())),
              "DataWriter.WriteBytes");
        Ref<IBuffer> buffer;
        Check(writer->DetachBuffer(buffer.put()), "DataWriter.DetachBuffer");
        IAsyncOperation<int32_t>* op = nullptr;
        Check(c_->WriteValueWithOptionAsync(buffer.get(), kWriteWithResponse, &op), "WriteValueAsync");
        const int32_t status = Await<int32_t>(op, kIidCommunicationStatusCompleted, "WriteValueAsync");
        CloseObject(writer.get());
        return status;
    }

private:
    Ref<IGattCharacteristic> c_;
};

class WinRtService : public BleService {
public:
    explicit WinRtService(Ref<IGattDeviceService> s) : s_(std::move(s)) {}
    ~WinRtService() override { CloseObject(s_.get()); }
    uint32_t ShortId() override {
        GUID uuid{};
        Check(s_->get_Uuid(&uuid), "GattDeviceService.Uuid");
        return uuid.Data1;
    }
    bool Characteristics(std::vector<std::unique_ptr<BleCharacteristic>>* out) override {
        out->clear();
        Ref<IGattDeviceService3> s3 = s_.As<IGattDeviceService3>(kIidGattDeviceService3);
        if (!s3) Fail("IGattDeviceService3", E_NOINTERFACE);
        IAsyncOperation<IGattCharacteristicsResult*>* op = nullptr;
        Check(s3->GetCharacteristicsWithCacheModeAsync(kCacheModeUncached, &op), "GetCharacteristicsAsync");
        Ref<IGattCharacteristicsResult> result =
            AwaitRef(op, kIidCharacteristicsResultCompleted, "GetCharacteristicsAsync");
        int32_t status = -1;
        if (!result || FAILED(result->get_Status(&status)) || status != kGattSuccess) return false;
        Ref<IVectorView<IGattCharacteristic*>> list;
        Check(result->get_Characteristics(list.put()), "GattCharacteristicsResult.Characteristics");
        UINT32 size = 0;
        if (list) Check(list->get_Size(&size), "IVectorView.Size");
        for (UINT32 i = 0; i < size; ++i) {
            Ref<IGattCharacteristic> item;
            Check(list->GetAt(i, item.put()), "IVectorView.GetAt");
            if (item) out->push_back(std::make_unique<WinRtCharacteristic>(std::move(item)));
        }
        return true;
    }

private:
    Ref<IGattDeviceService> s_;
};

class WinRtSession : public BleSession {
public:
    explicit WinRtSession(Ref<IGattSession> s) : s_(std::move(s)) {}
    ~WinRtSession() override { CloseObject(s_.get()); }
    void SetMaintainConnection(bool on) override {
        Check(s_->put_MaintainConnection(on ? 1 : 0), "GattSession.MaintainConnection");
    }
    uint16_t MaxPduSize() override {
        UINT16 size = 0;
        Check(s_->get_MaxPduSize(&size), "GattSession.MaxPduSize");
        return size;
    }

private:
    Ref<IGattSession> s_;
};

class WinRtDevice : public BleDevice {
public:
    explicit WinRtDevice(Ref<IBluetoothLEDevice> d) : d_(std::move(d)) {}
    ~WinRtDevice() override {
        RemoveDisconnectedHandler();
        CloseObject(d_.get());
    }
    bool SetDisconnectedHandler(std::function<void()> handler) override {
        RemoveDisconnectedHandler();
        Ref<EventForwarder> forwarder(new EventForwarder(
            kIidConnectionStatusHandler, [handler](IInspectable* sender, IInspectable*) {
                Ref<IBluetoothLEDevice> device;
                if (!sender || FAILED(sender->QueryInterface(kIidLEDevice, reinterpret_cast<void**>(device.put())))) {
                    return;
                }
                int32_t status = -1;
                if (SUCCEEDED(device->get_ConnectionStatus(&status)) && status == kConnectionStatusDisconnected) {
                    handler();
                }
            }));
        EventRegistrationToken token{};
        if (FAILED(d_->add_ConnectionStatusChanged(forwarder.get(), &token))) return false;
        token_ = token;
        forwarder_ = std::move(forwarder);
        return true;
    }
    void RemoveDisconnectedHandler() override {
        if (!forwarder_) return;
        d_->remove_ConnectionStatusChanged(token_);
        forwarder_->Disable();
        forwarder_.reset();
    }
    std::unique_ptr<BleSession> OpenSession() override {
        try {
            Ref<IBluetoothLEDevice4> d4 = d_.As<IBluetoothLEDevice4>(kIidLEDevice4);
            if (!d4) return nullptr;
            Ref<IInspectable> deviceId;
            Check(d4->get_BluetoothDeviceId(deviceId.put()), "BluetoothLEDevice.BluetoothDeviceId");
            Ref<IGattSessionStatics> statics = Factory<IGattSessionStatics>(
                L"Windows.Devices.Bluetooth.GenericAttributeProfile.GattSession", kIidGattSessionStatics);
            IAsyncOperation<IGattSession*>* op = nullptr;
            Check(statics->FromDeviceIdAsync(deviceId.get(), &op), "GattSession.FromDeviceIdAsync");
            Ref<IGattSession> session = AwaitRef(op, kIidGattSessionCompleted, "GattSession.FromDeviceIdAsync");
            if (!session) return nullptr;
            return std::make_unique<WinRtSession>(std::move(session));
        } catch (const BleTransportError& error) {
            // The connect goes on without a session (no PDU size then).
            LogWarn("BLE 无法取得 GattSession：" + WideToUtf8(error.text));
            return nullptr;
        }
    }
    bool Services(std::vector<std::unique_ptr<BleService>>* out) override {
        out->clear();
        Ref<IBluetoothLEDevice3> d3 = d_.As<IBluetoothLEDevice3>(kIidLEDevice3);
        if (!d3) Fail("IBluetoothLEDevice3", E_NOINTERFACE);
        IAsyncOperation<IGattDeviceServicesResult*>* op = nullptr;
        Check(d3->GetGattServicesWithCacheModeAsync(kCacheModeUncached, &op), "GetGattServicesAsync");
        Ref<IGattDeviceServicesResult> result = AwaitRef(op, kIidServicesResultCompleted, "GetGattServicesAsync");
        int32_t status = -1;
        if (!result || FAILED(result->get_Status(&status)) || status != kGattSuccess) return false;
        Ref<IVectorView<IGattDeviceService*>> list;
        Check(result->get_Services(list.put()), "GattDeviceServicesResult.Services");
        UINT32 size = 0;
        if (list) Check(list->get_Size(&size), "IVectorView.Size");
        for (UINT32 i = 0; i < size; ++i) {
            Ref<IGattDeviceService> item;
            Check(list->GetAt(i, item.put()), "IVectorView.GetAt");
            if (item) out->push_back(std::make_unique<WinRtService>(std::move(item)));
        }
        return true;
    }

private:
    Ref<IBluetoothLEDevice> d_;
    Ref<EventForwarder> forwarder_;
    EventRegistrationToken token_{};
};

class WinRtTransport : public BleTransport {
public:
    ~WinRtTransport() override { StopWatcher(); }

    bool HasLowEnergyAdapter() override {
        try {
            Ref<IBluetoothAdapterStatics> statics = Factory<IBluetoothAdapterStatics>(
                L"Windows.Devices.Bluetooth.BluetoothAdapter", kIidBluetoothAdapterStatics);
            IAsyncOperation<IBluetoothAdapter*>* op = nullptr;
            Check(statics->GetDefaultAsync(&op), "BluetoothAdapter.GetDefaultAsync");
            Ref<IBluetoothAdapter> adapter = AwaitRef(op, kIidAdapterCompleted, "BluetoothAdapter.GetDefaultAsync");
            if (!adapter) return false;
            boolean8 lowEnergy = 0;
            Check(adapter->get_IsLowEnergySupported(&lowEnergy), "BluetoothAdapter.IsLowEnergySupported");
            return lowEnergy != 0;
        } catch (const BleTransportError& error) {
            LogWarn("BLE 没有可用的适配器：" + WideToUtf8(error.text));
            return false;
        }
    }

    bool StartWatcher(std::function<void(const BleAdvertisement&)> onReceived) override {
        StopWatcher();
        RuntimeApi& api = RuntimeApi::Get();
        if (!api.ok()) Fail("RoActivateInstance", E_NOTIMPL, true);
        HStr name(L"Windows.Devices.Bluetooth.Advertisement.BluetoothLEAdvertisementWatcher");
        Ref<IInspectable> instance;
        const HRESULT hr = api.activate(name.get(), instance.put());
        if (FAILED(hr)) Fail("BluetoothLEAdvertisementWatcher", hr, true);
        Ref<IBluetoothLEAdvertisementWatcher> watcher =
            instance.As<IBluetoothLEAdvertisementWatcher>(kIidAdvertisementWatcher);
        if (!watcher) Fail("BluetoothLEAdvertisementWatcher", E_NOINTERFACE);
        Check(watcher->put_ScanningMode(kScanningModeActive), "Watcher.ScanningMode");
        Ref<EventForwarder> forwarder(new EventForwarder(
            kIidReceivedHandler, [onReceived](IInspectable*, IInspectable* args) {
                Ref<IBluetoothLEAdvertisementReceivedEventArgs> received;
                if (!args || FAILED(args->QueryInterface(kIidAdvertisementReceivedEventArgs,
                                                         reinterpret_cast<void**>(received.put())))) {
                    return;
                }
                BleAdvertisement ad;
                if (FAILED(received->get_BluetoothAddress(&ad.address))) return;
                Ref<IBluetoothLEAdvertisementReceivedEventArgs2> received2 =
                    received.As<IBluetoothLEAdvertisementReceivedEventArgs2>(kIidAdvertisementReceivedEventArgs2);
                int32_t type = 0;
                if (received2 && SUCCEEDED(received2->get_BluetoothAddressType(&type))) ad.addressType = type;
                Ref<IBluetoothLEAdvertisement> advertisement;
                if (FAILED(received->get_Advertisement(advertisement.put())) || !advertisement) return;
                HSTRING localName = nullptr;
                if (FAILED(advertisement->get_LocalName(&localName))) return;
                ad.localName = TakeString(localName);
                onReceived(ad);
            }));
        EventRegistrationToken token{};
        Check(watcher->add_Received(forwarder.get(), &token), "Watcher.Received");
        const HRESULT started = watcher->Start();
        if (FAILED(started)) {
            watcher->remove_Received(token);
            forwarder->Disable();
            Fail("Watcher.Start", started);
        }
        watcher_ = std::move(watcher);
        forwarder_ = std::move(forwarder);
        token_ = token;
        return true;
    }

    void StopWatcher() override {
        if (!watcher_) return;
        watcher_->Stop();
        watcher_->remove_Received(token_);
        if (forwarder_) forwarder_->Disable();
        forwarder_.reset();
        watcher_.reset();
    }

    std::unique_ptr<BleDevice> DeviceFromAddress(uint64_t address, int32_t addressType, bool withType) override {
        Ref<IBluetoothLEDevice> device;
        if (withType) {
            try {
                Ref<IBluetoothLEDeviceStatics2> statics = Factory<IBluetoothLEDeviceStatics2>(
                    L"Windows.Devices.Bluetooth.BluetoothLEDevice", kIidLEDeviceStatics2);
                IAsyncOperation<IBluetoothLEDevice*>* op = nullptr;
                Check(statics->FromBluetoothAddressWithBluetoothAddressTypeAsync(address, addressType, &op),
                      "BluetoothLEDevice.FromBluetoothAddressAsync");
                device = AwaitRef(op, kIidLEDeviceCompleted, "BluetoothLEDevice.FromBluetoothAddressAsync");
            } catch (const BleTransportError& error) {
                if (error.noAdapter) throw;
                // The address alone is tried next.
                return nullptr;
            }
        } else {
            Ref<IBluetoothLEDeviceStatics> statics = Factory<IBluetoothLEDeviceStatics>(
                L"Windows.Devices.Bluetooth.BluetoothLEDevice", kIidLEDeviceStatics);
            IAsyncOperation<IBluetoothLEDevice*>* op = nullptr;
            Check(statics->FromBluetoothAddressAsync(address, &op), "BluetoothLEDevice.FromBluetoothAddressAsync");
            device = AwaitRef(op, kIidLEDeviceCompleted, "BluetoothLEDevice.FromBluetoothAddressAsync");
        }
        if (!device) return nullptr;
        return std::make_unique<WinRtDevice>(std::move(device));
    }

private:
    Ref<IBluetoothLEAdvertisementWatcher> watcher_;
    Ref<EventForwarder> forwarder_;
    EventRegistrationToken token_{};
};

}  // namespace

std::unique_ptr<BleTransport> MakeWinRtTransport() { return std::make_unique<WinRtTransport>(); }

}  // namespace qs
