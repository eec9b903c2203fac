#include "ble/sim_transport.h"

#include <atomic>
#include <functional>
#include <thread>

#include <cJSON.h>

#include "ble/provision_protocol.h"

namespace qs {

struct SimWorld::DeviceState {
    SimDeviceConfig config;
    int pduReads = 0;
    int statusReads = 0;
    int stepReads = 0;
    bool commanded = false;
    std::vector<std::string> writes;
    std::function<void()> disconnected;
};

namespace {

using DeviceState = SimWorld::DeviceState;

std::string BuildStatus(const SimDeviceConfig& c) {
    cJSON* root = cJSON_CreateObject();
    cJSON_AddNumberToObject(root, "net_status", c.netStatus);
    cJSON_AddNumberToObject(root, "link_type", c.linkType);
    cJSON_AddNumberToObject(root, "ip_mode", c.ipMode);
    if (c.reportDualWifi) cJSON_AddBoolToObject(root, "dualwifi", c.dualWifi ? 1 : 0);
    cJSON_AddStringToObject(root, "ssid", c.ssid.c_str());
    cJSON_AddStringToObject(root, "ip", c.ip.c_str());
    cJSON_AddStringToObject(root, "netmask", c.netmask.c_str());
    cJSON_AddStringToObject(root, "gateway", c.gateway.c_str());
    cJSON_AddStringToObject(root, "dns", c.dns.c_str());
    char* text = cJSON_PrintUnformatted(root);
    std::string out = text ? text : "";
    cJSON_free(text);
    cJSON_Delete(root);
    return out;
}

std::string StringOf(const cJSON* object, const char* name) {
    const cJSON* item = cJSON_GetObjectItemCaseSensitive(object, name);
    return cJSON_IsString(item) && item->valuestring ? item->valuestring : "";
}

// The device side of a command: what the firmware would do with it.
void ApplyCommand(DeviceState& state, const std::string& bytes) {
    cJSON* root = cJSON_ParseWithLength(bytes.data(), bytes.size());
    if (!root) return;
    const cJSON* type = cJSON_GetObjectItemCaseSensitive(root, "type");
    SimDeviceConfig& c = state.config;
    if (cJSON_IsNumber(type) && type->valueint == 1) {
        c.ssid = StringOf(root, "ssid");
        c.linkType = 1;
        c.netStatus = 2;
        state.commanded = true;
        state.stepReads = 0;
    } else if (cJSON_IsNumber(type) && type->valueint == 2) {
        const cJSON* mode = cJSON_GetObjectItemCaseSensitive(root, "ip_mode");
        c.ipMode = cJSON_IsNumber(mode) ? mode->valueint : 0;
        if (c.ipMode == 1) {
            c.ip = StringOf(root, "ip");
            c.netmask = StringOf(root, "netmask");
            c.gateway = StringOf(root, "gateway");
            c.dns = StringOf(root, "dns");
        }
    }
    cJSON_Delete(root);
}

// After each read the joining device moves one state on.
void AdvanceAfterRead(DeviceState& state) {
    SimDeviceConfig& c = state.config;
    if (!state.commanded || c.netStatus >= 4) return;
    if (++state.stepReads < (c.readsPerStep < 1 ? 1 : c.readsPerStep)) return;
    state.stepReads = 0;
    ++c.netStatus;
    if (c.netStatus >= 3 && c.ip.empty()) {
        c.ip = "192.168.1.88";
        c.netmask = "255.255.255.0";
        c.gateway = "192.168.1.1";
        c.dns = "192.168.1.1";
    }
}

// Counts itself in the world and logs its closing, so a test sees what is
// still held and in which order things were released.
class Tracked {
public:
    Tracked(std::shared_ptr<SimWorld> world, const char* what) : world_(std::move(world)), what_(what) {
        std::lock_guard<std::mutex> lock(world_->mutex);
        ++world_->liveObjects;
    }
    virtual ~Tracked() {
        std::lock_guard<std::mutex> lock(world_->mutex);
        --world_->liveObjects;
        world_->closeLog.push_back(what_);
    }
    Tracked(const Tracked&) = delete;
    Tracked& operator=(const Tracked&) = delete;

protected:
    std::shared_ptr<SimWorld> world_;

private:
    const char* what_;
};

class SimCharacteristic : public BleCharacteristic, Tracked {
public:
    SimCharacteristic(std::shared_ptr<SimWorld> world, std::shared_ptr<DeviceState> state)
        : Tracked(std::move(world), "characteristic"), state_(std::move(state)) {}
    uint32_t ShortId() override { return kProvisionCharacteristicId; }
    bool Read(std::string* bytes) override {
        std::lock_guard<std::mutex> lock(world_->mutex);
        ++state_->statusReads;
        if (state_->config.readStatus != 0) return false;
        *bytes = state_->config.readEmpty ? std::string() : BuildStatus(state_->config);
        AdvanceAfterRead(*state_);
        return true;
    }
    int Write(const std::string& bytes) override {
        std::lock_guard<std::mutex> lock(world_->mutex);
        state_->writes.push_back(bytes);
        if (state_->config.writeStatus != 0) return state_->config.writeStatus;
        ApplyCommand(*state_, bytes);
        return 0;
    }

private:
    std::shared_ptr<DeviceState> state_;
};

// A characteristic of another service or id, so the search has to skip it.
class SimOtherCharacteristic : public BleCharacteristic, Tracked {
public:
    SimOtherCharacteristic(std::shared_ptr<SimWorld> world, uint32_t id)
        : Tracked(std::move(world), "other characteristic"), id_(id) {}
    uint32_t ShortId() override { return id_; }
    bool Read(std::string* bytes) override {
        bytes->clear();
        return false;
    }
    int Write(const std::string&) override { return 3; }

private:
    uint32_t id_;
};

class SimService : public BleService, Tracked {
public:
    SimService(std::shared_ptr<SimWorld> world, std::shared_ptr<DeviceState> state, uint32_t id)
        : Tracked(world, id == kProvisionServiceId ? "service" : "other service"),
          state_(std::move(state)),
          id_(id) {}
    uint32_t ShortId() override { return id_; }
    bool Characteristics(std::vector<std::unique_ptr<BleCharacteristic>>* out) override {
        out->clear();
        out->push_back(std::make_unique<SimOtherCharacteristic>(world_, 0x00002A00));
        bool has = false;
        {
            std::lock_guard<std::mutex> lock(world_->mutex);
            has = id_ == kProvisionServiceId && state_->config.hasCharacteristic;
        }
        if (has) out->push_back(std::make_unique<SimCharacteristic>(world_, state_));
        return true;
    }

private:
    std::shared_ptr<DeviceState> state_;
    uint32_t id_;
};

class SimSession : public BleSession, Tracked {
public:
    SimSession(std::shared_ptr<SimWorld> world, std::shared_ptr<DeviceState> state)
        : Tracked(std::move(world), "session"), state_(std::move(state)) {}
    void SetMaintainConnection(bool) override {}
    uint16_t MaxPduSize() override {
        std::lock_guard<std::mutex> lock(world_->mutex);
        SimDeviceConfig& c = state_->config;
        ++state_->pduReads;
        if (c.growAfterPduReads >= 0 && state_->pduReads > c.growAfterPduReads) c.maxPdu = c.grownPdu;
        return c.maxPdu;
    }

private:
    std::shared_ptr<DeviceState> state_;
};

class SimDevice : public BleDevice, Tracked {
public:
    SimDevice(std::shared_ptr<SimWorld> world, std::shared_ptr<DeviceState> state)
        : Tracked(std::move(world), "device"), state_(std::move(state)) {}
    ~SimDevice() override { RemoveDisconnectedHandler(); }
    bool SetDisconnectedHandler(std::function<void()> handler) override {
        std::lock_guard<std::mutex> lock(world_->mutex);
        state_->disconnected = std::move(handler);
        return true;
    }
    void RemoveDisconnectedHandler() override {
        std::lock_guard<std::mutex> lock(world_->mutex);
        state_->disconnected = nullptr;
    }
    std::unique_ptr<BleSession> OpenSession() override {
        bool has = false;
        {
            std::lock_guard<std::mutex> lock(world_->mutex);
            has = state_->config.hasSession;
        }
        if (!has) return nullptr;
        return std::make_unique<SimSession>(world_, state_);
    }
    bool Services(std::vector<std::unique_ptr<BleService>>* out) override {
        out->clear();
        bool fail = false;
        bool has = false;
        {
            std::lock_guard<std::mutex> lock(world_->mutex);
            fail = state_->config.servicesFail;
            has = state_->config.hasService;
        }
        if (fail) return false;
        out->push_back(std::make_unique<SimService>(world_, state_, 0x00001800));
        if (has) out->push_back(std::make_unique<SimService>(world_, state_, kProvisionServiceId));
        return true;
    }

private:
    std::shared_ptr<DeviceState> state_;
};

class SimTransport : public BleTransport {
public:
    explicit SimTransport(std::shared_ptr<SimWorld> world) : world_(std::move(world)) {}
    ~SimTransport() override { StopWatcher(); }

    bool HasLowEnergyAdapter() override {
        std::lock_guard<std::mutex> lock(world_->mutex);
        return world_->adapterPresent && world_->lowEnergy;
    }
    bool StartWatcher(std::function<void(const BleAdvertisement&)> onReceived) override {
        StopWatcher();
        std::vector<BleAdvertisement> ads;
        {
            std::lock_guard<std::mutex> lock(world_->mutex);
            for (const auto& device : world_->devices) {
                for (int i = 0; i < device->config.advertiseTimes; ++i) {
                    ads.push_back({device->config.address, device->config.addressType, device->config.name});
                }
            }
            ++world_->watchers;
        }
        stop_ = false;
        // Advertisements arrive on a thread of their own, as the
        // platform's Received callbacks do.
        radio_ = std::thread([this, ads, onReceived] {
            for (const BleAdvertisement& ad : ads) {
                if (stop_) break;
                onReceived(ad);
            }
        });
        return true;
    }
    void StopWatcher() override {
        if (!radio_.joinable()) return;
        stop_ = true;
        radio_.join();
        std::lock_guard<std::mutex> lock(world_->mutex);
        --world_->watchers;
    }
    std::unique_ptr<BleDevice> DeviceFromAddress(uint64_t address, int32_t addressType,
                                                 bool withType) override {
        std::shared_ptr<DeviceState> state = world_->Find(address);
        if (!state) return nullptr;
        {
            std::lock_guard<std::mutex> lock(world_->mutex);
            if (!state->config.found) return nullptr;
            if (withType && (state->config.foundOnlyWithoutType || state->config.addressType != addressType)) {
                return nullptr;
            }
        }
        return std::make_unique<SimDevice>(world_, state);
    }

private:
    std::shared_ptr<SimWorld> world_;
    std::thread radio_;
    std::atomic<bool> stop_{false};
};

}  // namespace

std::shared_ptr<SimWorld::DeviceState> SimWorld::Find(uint64_t address) {
    std::lock_guard<std::mutex> lock(mutex);
    for (const auto& device : devices) {
        if (device->config.address == address) return device;
    }
    return nullptr;
}

void SimWorld::AddDevice(const SimDeviceConfig& config) {
    auto state = std::make_shared<DeviceState>();
    state->config = config;
    std::lock_guard<std::mutex> lock(mutex);
    devices.push_back(std::move(state));
}

void SimWorld::SetWriteStatus(uint64_t address, int status) {
    if (auto state = Find(address)) {
        std::lock_guard<std::mutex> lock(mutex);
        state->config.writeStatus = status;
    }
}

void SimWorld::SetReadStatus(uint64_t address, int status) {
    if (auto state = Find(address)) {
        std::lock_guard<std::mutex> lock(mutex);
        state->config.readStatus = status;
    }
}

void SimWorld::SetMaxPdu(uint64_t address, uint16_t pdu) {
    if (auto state = Find(address)) {
        std::lock_guard<std::mutex> lock(mutex);
        state->config.maxPdu = pdu;
    }
}

bool SimWorld::DropConnection(uint64_t address) {
    std::function<void()> handler;
    if (auto state = Find(address)) {
        std::lock_guard<std::mutex> lock(mutex);
        handler = state->disconnected;
    }
    if (!handler) return false;
    handler();
    return true;
}

std::vector<std::string> SimWorld::Writes(uint64_t address) {
    auto state = Find(address);
    std::lock_guard<std::mutex> lock(mutex);
    return state ? state->writes : std::vector<std::string>();
}

int SimWorld::PduReads(uint64_t address) {
    auto state = Find(address);
    std::lock_guard<std::mutex> lock(mutex);
    return state ? state->pduReads : 0;
}

int SimWorld::StatusReads(uint64_t address) {
    auto state = Find(address);
    std::lock_guard<std::mutex> lock(mutex);
    return state ? state->statusReads : 0;
}

std::string SimWorld::StatusJson(uint64_t address) {
    auto state = Find(address);
    std::lock_guard<std::mutex> lock(mutex);
    return state ? BuildStatus(state->config) : std::string();
}

int SimWorld::LiveObjects() {
    std::lock_guard<std::mutex> lock(mutex);
    return liveObjects;
}

std::vector<std::string> SimWorld::CloseLog() {
    std::lock_guard<std::mutex> lock(mutex);
    return closeLog;
}

int SimWorld::WatchersRunning() {
    std::lock_guard<std::mutex> lock(mutex);
    return watchers;
}

std::unique_ptr<BleTransport> MakeSimTransport(std::shared_ptr<SimWorld> world) {
    return std::make_unique<SimTransport>(std::move(world));
}

std::shared_ptr<SimWorld> MakeDemoSimWorld() {
    auto world = std::make_shared<SimWorld>();
    SimDeviceConfig printer;
    printer.address = 0x0000A4C138000001ULL;
    printer.name = L"QS-Printer-01";
    printer.advertiseTimes = 3;
    printer.readsPerStep = 2;
    world->AddDevice(printer);
    SimDeviceConfig box;
    box.address = 0x0000A4C138000002ULL;
    box.addressType = 1;
    box.name = L"QS-Box-02";
    box.netStatus = 4;
    box.linkType = 0;
    box.ip = "192.168.1.20";
    box.netmask = "255.255.255.0";
    box.gateway = "192.168.1.1";
    box.dns = "192.168.1.1";
    world->AddDevice(box);
    SimDeviceConfig setup;
    setup.address = 0x0000A4C138000003ULL;
    setup.name = L"QS-Printer-03 CONFIG MODE";
    world->AddDevice(setup);
    return world;
}

}  // namespace qs
