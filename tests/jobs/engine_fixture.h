// A job engine wired to real parts: a store in a fresh folder, LAN
// discovery (not started; replies are fed in), a cloud client aimed at
// tools/fake_cloud.py and devices in tools/device_sim.py. One settable
// clock drives the store's leases, the engine and discovery's ageing.
#pragma once
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <cJSON.h>

#include "cloud/cloud_client.h"
#include "cloud/fake_cloud_peer.h"
#include "foundation/files.h"
#include "foundation/logger.h"
#include "foundation/text.h"
#include "jobs/device_sim_client.h"
#include "jobs/job_engine.h"
#include "jobs/lan_discovery.h"
#include "store/config_store.h"
#include "store/store_fixture.h"
#include "support/temp_dir.h"

namespace qs::test {

class EngineTest : public ::testing::Test {
protected:
    static constexpr int64_t kStart = 1750000000000;  // 2025-06-15

    void SetUp() override {
        Logger::Instance().Open(L"", kDebug);
        ASSERT_TRUE(sim_.available()) << "run with tools/device_sim.py beside";
        ASSERT_TRUE(cloudPeer_.Available()) << "run with tools/fake_cloud.py beside";
        // The simulator lives for the whole run; each test counts from here.
        for (const SimDevice& d : sim_.devices()) {
            baseJobs_[d.sn] = sim_.WaitJobs(0, 0, d.sn).size();
            baseConnections_[d.sn] = TotalConnections(d.sn);
        }
        cloudPeer_.Reset();

        ASSERT_TRUE(store_.Open(dir_ / L"qnconfig.db"));
        store_.SetClock([this] { return now_.load(); });

        LanDiscoveryOptions lan;
        lan.clock = [this] { return now_.load(); };
        discovery_ = std::make_unique<LanDiscovery>([] {}, lan);

        CloudClient::Options cloud;
        cloud.baseUrl = cloudPeer_.BaseUrl();
        cloud.storedCode = [](const std::string& sn) { return "code-" + sn; };
        cloud.now = [this] { return now_.load(); };
        // Status polls run on virtual time; a test may hook the pauses.
        cloud.sleep = [this](int32_t ms, const std::atomic<bool>*) {
            sleptMs_ += ms;
            if (onCloudSleep_) onCloudSleep_();
        };
        cloud_ = std::make_unique<CloudClient>(cloud);

        options_.device_port = sim_.tcpPort();
        MakeEngine();
    }

    void MakeEngine() {
        JobEngineDeps deps;
        deps.store = &store_;
        deps.cloud = cloud_.get();
        deps.discovery = discovery_.get();
        deps.nowMs = [this] { return now_.load(); };
        deps.delivery = options_;
        deps.stop = &stop_;
        deps.leaseRenewMs = leaseRenewMs_;
        engine_ = std::make_unique<JobEngine>(deps);
    }

    // Makes discovery know the simulated device at its own address.
    void OnLan(const std::string& sn) {
        const std::string addr = sim_.AddressOf(sn);
        ASSERT_FALSE(addr.empty()) << sn << " is not a simulated device";
        discovery_->HandleReply("{\"cmd\":\"Pong\",\"sn\":\"" + sn + "\"}", addr);
    }

    std::wstring WriteSpool(const std::string& bytes) {
        const std::wstring path = dir_ / Utf8ToWide(NewName() + ".dat");
        EXPECT_TRUE(WriteFileBytes(path, bytes));
        return path;
    }

    // A pending job as intake stores it, expiring 24 h from the clock.
    int64_t AddJob(const std::string& sn, const std::string& bytes) {
        return AddJobAt(sn, WriteSpool(bytes), now_.load() + JobEngine::kJobRetentionMs);
    }

    int64_t AddJobAt(const std::string& sn, const std::wstring& path, int64_t expiresAt) {
        JobRecord job;
        job.sn = sn;
        job.path = WideToUtf8(path);
        job.idem = NewName();
        job.expires_at = expiresAt;
        const int64_t id = store_.InsertJob(job);
        EXPECT_NE(id, 0);
        return id;
    }

    JobRecord Job(int64_t id) {
        for (const JobRecord& job : store_.ListRecentJobs(1000)) {
            if (job.id == id) return job;
        }
        ADD_FAILURE() << "no job " << id;
        return {};
    }

    static std::vector<DeviceRecord> Devices(std::initializer_list<const char*> sns) {
        std::vector<DeviceRecord> list;
        for (const char* sn : sns) {
            DeviceRecord d;
            d.sn = sn;
            list.push_back(d);
        }
        return list;
    }

    // Raw connections the simulated device accepted during this test.
    int64_t Connections(const std::string& sn) {
        return TotalConnections(sn) - baseConnections_[sn];
    }

    // Jobs the simulated device finished during this test, waiting up to
    // timeoutMs for at least count of them.
    std::vector<SimJob> Received(const std::string& sn, size_t count, int32_t timeoutMs) {
        const size_t base = baseJobs_[sn];
        std::vector<SimJob> all = sim_.WaitJobs(base + count, timeoutMs, sn);
        if (all.size() <= base) return {};
        return std::vector<SimJob>(all.begin() + static_cast<std::ptrdiff_t>(base), all.end());
    }

    int64_t TotalConnections(const std::string& sn) {
        std::unique_ptr<cJSON, decltype(&cJSON_Delete)> reply(
            cJSON_Parse(sim_.Request("{\"cmd\":\"stats\"}").c_str()), &cJSON_Delete);
        const cJSON* devices = cJSON_GetObjectItemCaseSensitive(reply.get(), "devices");
        const cJSON* device = cJSON_GetObjectItemCaseSensitive(devices, sn.c_str());
        const cJSON* n = cJSON_GetObjectItemCaseSensitive(device, "connections");
        return cJSON_IsNumber(n) ? static_cast<int64_t>(n->valuedouble) : -1;
    }

    // Requests the fake cloud got for a path ("/v1/files", "/v1/print-jobs").
    size_t CloudRequests(const std::string& path) { return cloudPeer_.RequestsTo(path).size(); }

    // Bytes that look like a receipt: ESC/POS framing, text, every byte value.
    static std::string ReceiptBytes(size_t size) {
        std::string bytes;
        bytes.reserve(size);
        uint32_t x = 0x12345678u ^ static_cast<uint32_t>(size);
        while (bytes.size() < size) {
            x = x * 1103515245u + 12345u;
            bytes.push_back(static_cast<char>(x >> 16));
        }
        return bytes;
    }

    std::string NewName() { return "job" + std::to_string(++names_); }

    TempDir dir_;
    std::atomic<int64_t> now_{kStart};
    std::atomic<bool> stop_{false};
    std::atomic<int64_t> sleptMs_{0};
    std::function<void()> onCloudSleep_;
    DeviceSim sim_;
    FakeCloudPeer cloudPeer_;
    ConfigStore store_;
    std::unique_ptr<LanDiscovery> discovery_;
    std::unique_ptr<CloudClient> cloud_;
    DeliveryOptions options_;
    int32_t leaseRenewMs_ = 20000;
    std::unique_ptr<JobEngine> engine_;
    LogWatch log_;
    int names_ = 0;
    std::map<std::string, size_t> baseJobs_;
    std::map<std::string, int64_t> baseConnections_;
};

}  // namespace qs::test
