// The installed product end to end: the real quillstone.exe as a service,
// a device added over the pipe, receipts on its loopback port reaching the
// simulated printer over the LAN, then through the fake cloud, and a job
// left pending across a service restart delivered afterwards.
#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <cJSON.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "cloud/fake_cloud_peer.h"
#include "foundation/text.h"
#include "jobs/device_sim_client.h"
#include "exe_runner.h"
#include "service_control.h"
#include "support/wait.h"

namespace qs {
namespace {

using test::ControlServiceState;
using test::Reply;
using test::Request;
using test::RunExe;
using test::SendReceipt;
using test::ServiceWorkingSetMiB;
using test::WaitFor;

// State of the newest job, or -1.
int NewestJobState(int64_t* id = nullptr) {
    Reply jobs(Request("{\"cmd\":\"jobs\"}"));
    cJSON* first = cJSON_GetArrayItem(jobs.data(), 0);
    if (!first) return -1;
    if (id) *id = static_cast<int64_t>(cJSON_GetObjectItemCaseSensitive(first, "id")->valuedouble);
    return cJSON_GetObjectItemCaseSensitive(first, "state")->valueint;
}

class ProductTest : public ::testing::Test {
protected:
    void SetUp() override {
        WSADATA wsa;
        WSAStartup(MAKEWORD(2, 2), &wsa);
        ASSERT_TRUE(sim_.available());
        ASSERT_TRUE(cloud_.Available());
    }
    void TearDown() override {
        RunExe(L"/uninstall /quiet");
        WSACleanup();
    }
    test::DeviceSim sim_;
    test::FakeCloudPeer cloud_;
};

TEST_F(ProductTest, ReceiptsReachTheDeviceOverTheLanThenTheCloudAndSurviveARestart) {
    ASSERT_EQ(RunExe(L"/install /quiet"), 0);
    ASSERT_TRUE(WaitFor([] { return Request("{\"cmd\":\"ping\"}").find("\"ok\":true") != std::string::npos; }, 20000));

    // Start from an empty device list whatever an earlier run left.
    {
        Reply list(Request("{\"cmd\":\"list\"}"));
        cJSON* d = nullptr;
        cJSON_ArrayForEach(d, list.data()) {
            Request(std::string("{\"cmd\":\"remove\",\"sn\":\"") +
                    cJSON_GetObjectItemCaseSensitive(d, "sn")->valuestring + "\"}");
        }
    }
    ASSERT_EQ(Request(R"({"cmd":"add","sn":"E2E1","crc":"123456","name":"Counter"})"),
              R"({"ok":true,"data":""})");
    int port = 0;
    ASSERT_TRUE(WaitFor([&] {
        Reply list(Request("{\"cmd\":\"list\"}"));
        cJSON* d = cJSON_GetArrayItem(list.data(), 0);
        if (!d) return false;
        port = cJSON_GetObjectItemCaseSensitive(d, "port")->valueint;
        return std::string(cJSON_GetObjectItemCaseSensitive(d, "network")->valuestring) == "Lan";
    }, 10000)) << "the device was not found on the LAN";
    ASSERT_GE(port, 39100);

    // A second device, for the idle working-set figure of a two-device service.
    ASSERT_EQ(Request(R"({"cmd":"add","sn":"E2E2","crc":"654321","name":"Kitchen"})"),
              R"({"ok":true,"data":""})");
    std::this_thread::sleep_for(std::chrono::seconds(2));
    std::printf("service working set, idle with two devices: %.1f MiB\n", ServiceWorkingSetMiB());

    // On the LAN: the device gets the bytes, the cloud sees no upload.
    const std::string first = "\x1b@first receipt\n\x1dV";
    ASSERT_TRUE(SendReceipt(port, first));
    std::vector<test::SimJob> got = sim_.WaitJobs(1, 15000, "E2E1");
    ASSERT_EQ(got.size(), 1u);
    std::string bytes;
    ASSERT_TRUE(sim_.JobBytes(got[0], &bytes));
    EXPECT_EQ(bytes, first);
    int64_t firstId = 0;
    EXPECT_TRUE(WaitFor([&] { return NewestJobState(&firstId) == 2; }, 10000));
    EXPECT_TRUE(cloud_.RequestsTo("/v1/files").empty());

    // Off the LAN (refused and silent): the next receipt goes through the cloud.
    ASSERT_TRUE(sim_.Set("E2E1", "tcp", "refuse"));
    ASSERT_TRUE(sim_.Set("E2E1", "discovery", "silent"));
    const std::string second = "second receipt via the cloud";
    ASSERT_TRUE(SendReceipt(port, second));
    int64_t secondId = 0;
    EXPECT_TRUE(WaitFor([&] { return NewestJobState(&secondId) == 2 && secondId != firstId; }, 20000));
    auto uploads = cloud_.RequestsTo("/v1/files");
    ASSERT_EQ(uploads.size(), 1u);
    EXPECT_EQ(uploads[0].part.size, static_cast<int64_t>(second.size()));
    EXPECT_EQ(cloud_.RequestsTo("/v1/print-jobs").size(), 1u);

    // The cloud fails too: the job waits; the service stops and comes back,
    // and its worker delivers the job once the cloud works again.
    cloud_.Rules(R"([{"path":"/v1/files","status":500,"times":0}])");
    ASSERT_TRUE(SendReceipt(port, "third receipt, across a restart"));
    int64_t pendingId = 0;
    ASSERT_TRUE(WaitFor([&] {
        Reply jobs(Request("{\"cmd\":\"jobs\"}"));
        cJSON* j = cJSON_GetArrayItem(jobs.data(), 0);
        return j && static_cast<int64_t>(cJSON_GetObjectItemCaseSensitive(j, "id")->valuedouble) != secondId &&
               cJSON_GetObjectItemCaseSensitive(j, "retries")->valueint >= 1;
    }, 20000));
    ASSERT_EQ(NewestJobState(&pendingId), 0);
    ASSERT_TRUE(ControlServiceState(SERVICE_CONTROL_STOP, SERVICE_STOPPED));
    cloud_.Reset();
    ASSERT_TRUE(ControlServiceState(0, SERVICE_RUNNING));
    ASSERT_TRUE(WaitFor([] { return Request("{\"cmd\":\"ping\"}").find("\"ok\":true") != std::string::npos; }, 20000));
    int64_t idAfter = 0;
    EXPECT_TRUE(WaitFor([&] { return NewestJobState(&idAfter) == 2; }, 60000))
        << "the pending job was not delivered after the restart";
    EXPECT_EQ(idAfter, pendingId);
    // Submitted once: the token the restarted cloud forgot may cost an
    // extra upload attempt, never a second print.
    EXPECT_EQ(cloud_.RequestsTo("/v1/print-jobs").size(), 1u);
}

}  // namespace
}  // namespace qs
