// The worker against the simulated devices, and against the Windows
// Runtime as this machine has it (no Bluetooth classes at all).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>

#include "ble/ble_event_sink.h"
#include "ble/ble_worker.h"
#include "ble/sim_transport.h"
#include "ble/winrt_transport.h"

namespace qs {
namespace {

using Clock = std::chrono::steady_clock;
using test::BleEventSink;

constexpr uint64_t kPrinter = 0x0000A4C1380000AAULL;

int MsSince(Clock::time_point start) {
    return static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

SimDeviceConfig Printer() {
    SimDeviceConfig c;
    c.address = kPrinter;
    c.name = L"QS-Printer-01";
    return c;
}

class WorkerTest : public ::testing::Test {
protected:
    void Start() {
        worker_ = std::make_unique<BleWorker>([this] { return MakeSimTransport(world_); },
                                              [this](int ms) { sleeps_ += 1, sleptMs_ += ms; });
        worker_->StartWorker(sink_.window(), WM_BLE_EVENT);
    }
    void Connect(const SimDeviceConfig& config) {
        world_->AddDevice(config);
        Start();
        worker_->ConnectDevice(config.address, config.addressType);
        ASSERT_TRUE(sink_.WaitUntil([&] { return sink_.Count(EvConnected) + sink_.Count(EvFailed) > 0; }, 5000));
        ASSERT_EQ(sink_.Count(EvConnected), 1) << "connect failed with " << sink_.Last(EvFailed).errorCode;
    }
    void TearDown() override {
        if (worker_) worker_->StopWorker();
    }

    std::shared_ptr<SimWorld> world_ = std::make_shared<SimWorld>();
    std::unique_ptr<BleWorker> worker_;
    BleEventSink sink_;
    std::atomic<int> sleeps_{0};
    std::atomic<int> sleptMs_{0};
};

TEST_F(WorkerTest, ScanWithoutAdapterFailsThenFinishes) {
    world_->AddDevice(Printer());
    world_->adapterPresent = false;
    Start();
    worker_->StartScan(1000);
    ASSERT_TRUE(sink_.WaitForCount(EvScanFinished, 1, 3000));
    ASSERT_EQ(sink_.events().size(), 2u);
    EXPECT_EQ(sink_.events()[0].eventKind, EvFailed);
    EXPECT_EQ(sink_.events()[0].errorCode, ErrNoAdapter);
    EXPECT_EQ(sink_.events()[1].eventKind, EvScanFinished);
    EXPECT_EQ(world_->WatchersRunning(), 0);
}

TEST_F(WorkerTest, AdapterWithoutLowEnergyCountsAsNone) {
    world_->lowEnergy = false;
    Start();
    worker_->StartScan(1000);
    ASSERT_TRUE(sink_.WaitForCount(EvScanFinished, 1, 3000));
    EXPECT_EQ(sink_.Last(EvFailed).errorCode, ErrNoAdapter);
}

TEST_F(WorkerTest, EveryAcceptedAdvertisementIsPostedRepeatsIncluded) {
    SimDeviceConfig printer = Printer();
    printer.advertiseTimes = 10;
    world_->AddDevice(printer);
    SimDeviceConfig lower;
    lower.address = 2;
    lower.addressType = 1;
    lower.name = L"qs-box";
    world_->AddDevice(lower);
    SimDeviceConfig setup;
    setup.address = 3;
    setup.name = L"QS-Printer 配网模式";
    setup.advertiseTimes = 5;
    world_->AddDevice(setup);
    SimDeviceConfig foreign;
    foreign.address = 4;
    foreign.name = L"XX-Speaker";
    world_->AddDevice(foreign);
    Start();
    worker_->StartScan(1000);
    ASSERT_TRUE(sink_.WaitForCount(EvScanFinished, 1, 4000));
    int printerEvents = 0, lowerEvents = 0;
    for (const BleEvent& e : sink_.events()) {
        if (e.eventKind != EvDeviceFound) continue;
        if (e.deviceAddress == kPrinter) {
            ++printerEvents;
            EXPECT_EQ(e.deviceName, L"QS-Printer-01");
        } else if (e.deviceAddress == 2) {
            ++lowerEvents;
            EXPECT_EQ(e.addressType, 1);
        } else {
            ADD_FAILURE() << "offered device " << e.deviceAddress;
        }
    }
    EXPECT_EQ(printerEvents, 10);
    EXPECT_EQ(lowerEvents, 1);
    EXPECT_EQ(sink_.events().back().eventKind, EvScanFinished);
}

TEST_F(WorkerTest, ScanAgainEndsTheRunningScanAndStartsAFullOne) {
    world_->AddDevice(Printer());
    Start();
    worker_->StartScan(1000);
    ASSERT_TRUE(sink_.WaitForCount(EvDeviceFound, 1, 3000));
    const auto second = Clock::now();
    worker_->StartScan(1000);
    ASSERT_TRUE(sink_.WaitForCount(EvScanFinished, 1, 3000));
    EXPECT_LT(MsSince(second), 700) << "the first scan ends at once";
    ASSERT_TRUE(sink_.WaitForCount(EvScanFinished, 2, 4000));
    EXPECT_GE(MsSince(second), 950) << "the second scan runs its full length";
    EXPECT_EQ(sink_.Count(EvDeviceFound), 2) << "one advertisement per scan";
}

TEST_F(WorkerTest, ConnectDuringAScanEndsTheScanFirst) {
    world_->AddDevice(Printer());
    Start();
    worker_->StartScan(10000);
    ASSERT_TRUE(sink_.WaitForCount(EvDeviceFound, 1, 3000));
    const auto connect = Clock::now();
    worker_->ConnectDevice(kPrinter, 0);
    ASSERT_TRUE(sink_.WaitForCount(EvConnected, 1, 3000));
    EXPECT_LT(MsSince(connect), 2000) << "the connect waited for the scan's full length";
    EXPECT_EQ(world_->WatchersRunning(), 0) << "the watcher outlived its scan";
    // The scan's end is posted before the connection.
    int finishedAt = -1, connectedAt = -1;
    for (size_t i = 0; i < sink_.events().size(); ++i) {
        if (sink_.events()[i].eventKind == EvScanFinished && finishedAt < 0) finishedAt = static_cast<int>(i);
        if (sink_.events()[i].eventKind == EvConnected) connectedAt = static_cast<int>(i);
    }
    EXPECT_GE(finishedAt, 0);
    EXPECT_LT(finishedAt, connectedAt);
}

TEST_F(WorkerTest, ShortScansAreRaisedToOneSecond) {
    world_->AddDevice(Printer());
    Start();
    const auto start = Clock::now();
    worker_->StartScan(10);
    ASSERT_TRUE(sink_.WaitForCount(EvScanFinished, 1, 3000));
    EXPECT_GE(MsSince(start), 950);
}

TEST_F(WorkerTest, ConnectReadsTheStatusOnce) {
    SimDeviceConfig printer = Printer();
    printer.ssid = "Office";
    Connect(printer);
    const BleEvent connected = sink_.Last(EvConnected);
    EXPECT_TRUE(connected.deviceStatus.valid);
    EXPECT_EQ(connected.deviceStatus.netStatus, 1);
    EXPECT_EQ(connected.deviceStatus.ssid, L"Office");
    EXPECT_EQ(world_->StatusReads(kPrinter), 1);
    EXPECT_EQ(world_->PduReads(kPrinter), 1) << "the size is read after connecting";
}

TEST_F(WorkerTest, ConnectWithAnUnreadableStatusStillConnects) {
    SimDeviceConfig printer = Printer();
    printer.readEmpty = true;
    Connect(printer);
    EXPECT_FALSE(sink_.Last(EvConnected).deviceStatus.valid);
}

TEST_F(WorkerTest, AddressAloneIsTriedWhenTheTypedLookupFindsNothing) {
    SimDeviceConfig printer = Printer();
    printer.foundOnlyWithoutType = true;
    Connect(printer);
}

TEST_F(WorkerTest, UnknownDeviceIsNotFound) {
    SimDeviceConfig printer = Printer();
    printer.found = false;
    world_->AddDevice(printer);
    Start();
    worker_->ConnectDevice(kPrinter, 0);
    ASSERT_TRUE(sink_.WaitForCount(EvFailed, 1, 3000));
    EXPECT_EQ(sink_.Last(EvFailed).errorCode, ErrDeviceNotFound);
    EXPECT_TRUE(sink_.Last(EvFailed).detail.empty());
}

TEST_F(WorkerTest, MissingSetupServiceOrCharacteristicLeavesNothingHeld) {
    struct Row {
        bool servicesFail, hasService, hasCharacteristic;
        const char* what;
    };
    const Row rows[] = {
        {false, true, false, "service 0x00EE without 0xEE01"},
        {false, false, false, "no provisioning service"},
        {true, true, true, "service list failed"},
    };
    for (const Row& row : rows) {
        auto world = std::make_shared<SimWorld>();
        SimDeviceConfig printer = Printer();
        printer.servicesFail = row.servicesFail;
        printer.hasService = row.hasService;
        printer.hasCharacteristic = row.hasCharacteristic;
        world->AddDevice(printer);
        BleEventSink sink;
        BleWorker worker([world] { return MakeSimTransport(world); }, [](int) {});
        worker.StartWorker(sink.window(), WM_BLE_EVENT);
        worker.ConnectDevice(kPrinter, 0);
        ASSERT_TRUE(sink.WaitForCount(EvFailed, 1, 3000)) << row.what;
        EXPECT_EQ(sink.Last(EvFailed).errorCode, ErrNoSetupService) << row.what;
        EXPECT_EQ(sink.Count(EvConnected), 0) << row.what;
        EXPECT_EQ(world->LiveObjects(), 0) << row.what << ": the connect let everything go";
        // Nothing connected: a read is refused the same way.
        worker.ReadStatus();
        ASSERT_TRUE(sink.WaitForCount(EvFailed, 2, 3000)) << row.what;
        EXPECT_EQ(sink.Last(EvFailed).errorCode, ErrNoSetupService) << row.what;
        EXPECT_EQ(world->StatusReads(kPrinter), 0) << row.what;
        worker.StopWorker();
    }
}

TEST_F(WorkerTest, WifiCommandTakesTheDeviceOnline) {
    Connect(Printer());
    worker_->WriteCommand(BuildWifiCommand(L"Office", L"secret"));
    ASSERT_TRUE(sink_.WaitForCount(EvWritten, 1, 3000));
    ASSERT_EQ(world_->Writes(kPrinter).size(), 1u);
    EXPECT_EQ(world_->Writes(kPrinter)[0], R"({"type":1,"ssid":"Office","pwd":"secret"})");
    int expected = 2;
    for (int read = 1; read <= 3; ++read, ++expected) {
        worker_->ReadStatus();
        ASSERT_TRUE(sink_.WaitForCount(EvStatusRead, read, 3000));
        const ProvisionStatus status = sink_.Last(EvStatusRead).deviceStatus;
        EXPECT_EQ(status.netStatus, expected) << "read " << read;
        EXPECT_EQ(status.ssid, L"Office");
    }
    EXPECT_EQ(sink_.Count(EvFailed), 0);
}

TEST_F(WorkerTest, LongCommandWaitsTenSizeReadsThenGoesOut) {
    SimDeviceConfig printer = Printer();
    printer.maxPdu = 23;
    Connect(printer);
    const std::string command(150, 'x');
    worker_->WriteCommand(command);
    ASSERT_TRUE(sink_.WaitForCount(EvWritten, 1, 3000));
    EXPECT_EQ(world_->PduReads(kPrinter), 1 + BleWorker::kPduRounds);
    EXPECT_EQ(sleeps_.load(), BleWorker::kPduRounds);
    EXPECT_EQ(sleptMs_.load(), BleWorker::kPduRounds * BleWorker::kPduPauseMs) << "about one second";
    ASSERT_EQ(world_->Writes(kPrinter).size(), 1u);
    EXPECT_EQ(world_->Writes(kPrinter)[0], command) << "written whole, once";
}

TEST_F(WorkerTest, CommandGoesOutAsSoonAsTheSizeGrows) {
    SimDeviceConfig printer = Printer();
    printer.maxPdu = 23;
    printer.growAfterPduReads = 3;  // the connect's read, then two during the write
    printer.grownPdu = 185;
    Connect(printer);
    worker_->WriteCommand(std::string(150, 'x'));
    ASSERT_TRUE(sink_.WaitForCount(EvWritten, 1, 3000));
    EXPECT_EQ(sleeps_.load(), 2);
    EXPECT_EQ(world_->PduReads(kPrinter), 4);
}

TEST_F(WorkerTest, CommandThatFitsTheDefaultSizeDoesNotWait) {
    SimDeviceConfig printer = Printer();
    printer.maxPdu = 23;
    Connect(printer);
    worker_->WriteCommand(std::string(20, 'y'));  // 20 + 3 fits into 23
    ASSERT_TRUE(sink_.WaitForCount(EvWritten, 1, 3000));
    EXPECT_EQ(sleeps_.load(), 0);
    EXPECT_EQ(world_->PduReads(kPrinter), 2);
    worker_->WriteCommand(BuildIpCommand(false, L"", L"", L"", L""));  // 22 + 3 does not
    ASSERT_TRUE(sink_.WaitForCount(EvWritten, 2, 3000));
    EXPECT_EQ(sleeps_.load(), BleWorker::kPduRounds);
}

TEST_F(WorkerTest, WriteFailureIsClassifiedBySize) {
    struct Row {
        uint16_t pdu;
        BleError expected;
    };
    for (const Row& row : {Row{23, ErrPacketTooSmall}, Row{185, ErrWriteFailed}}) {
        auto world = std::make_shared<SimWorld>();
        SimDeviceConfig printer = Printer();
        printer.maxPdu = row.pdu;
        printer.writeStatus = 3;
        world->AddDevice(printer);
        BleEventSink sink;
        BleWorker worker([world] { return MakeSimTransport(world); }, [](int) {});
        worker.StartWorker(sink.window(), WM_BLE_EVENT);
        worker.ConnectDevice(kPrinter, 0);
        ASSERT_TRUE(sink.WaitForCount(EvConnected, 1, 3000));
        const std::string command(30, 'c');
        worker.WriteCommand(command);
        ASSERT_TRUE(sink.WaitForCount(EvFailed, 1, 3000)) << row.pdu;
        EXPECT_EQ(sink.Last(EvFailed).errorCode, row.expected) << row.pdu;
        EXPECT_EQ(sink.Last(EvFailed).detail, L"GATT 3");
        EXPECT_EQ(sink.Count(EvWritten), 0);
        // The failed write leaves the connection as it was.
        worker.ReadStatus();
        ASSERT_TRUE(sink.WaitForCount(EvStatusRead, 1, 3000)) << row.pdu;
        worker.StopWorker();
    }
}

TEST_F(WorkerTest, ReadFailuresAreReported) {
    Connect(Printer());
    world_->SetReadStatus(kPrinter, 1);  // Unreachable
    worker_->ReadStatus();
    ASSERT_TRUE(sink_.WaitForCount(EvFailed, 1, 3000));
    EXPECT_EQ(sink_.Last(EvFailed).errorCode, ErrReadFailed);
    EXPECT_TRUE(sink_.Last(EvFailed).detail.empty());
    world_->SetReadStatus(kPrinter, 0);
    worker_->ReadStatus();
    ASSERT_TRUE(sink_.WaitForCount(EvStatusRead, 1, 3000));
}

TEST_F(WorkerTest, DeviceSideDisconnectIsPosted) {
    Connect(Printer());
    ASSERT_TRUE(world_->DropConnection(kPrinter));
    ASSERT_TRUE(sink_.WaitForCount(EvDisconnected, 1, 3000));
    EXPECT_GT(world_->LiveObjects(), 0) << "objects stay held until the next connect or stop";
}

TEST_F(WorkerTest, StopReleasesTheConnectionInOrder) {
    Connect(Printer());
    EXPECT_GT(world_->LiveObjects(), 0);
    worker_->StopWorker();
    EXPECT_EQ(world_->LiveObjects(), 0);
    const std::vector<std::string> log = world_->CloseLog();
    ASSERT_GE(log.size(), 4u);
    const std::vector<std::string> tail(log.end() - 4, log.end());
    EXPECT_EQ(tail, (std::vector<std::string>{"characteristic", "service", "session", "device"}));
    EXPECT_FALSE(world_->DropConnection(kPrinter)) << "the handler was removed";
}

TEST_F(WorkerTest, StopDuringAScanReturnsAfterTheThreadAndDropsWhatFollows) {
    world_->AddDevice(Printer());
    Start();
    worker_->StartScan(8000);
    ASSERT_TRUE(sink_.WaitForCount(EvDeviceFound, 1, 3000));
    const auto stop = Clock::now();
    worker_->StopWorker();
    EXPECT_LT(MsSince(stop), 2000) << "the scan's wait ends at once";
    EXPECT_FALSE(worker_->running());
    EXPECT_EQ(world_->WatchersRunning(), 0);
    sink_.Clear();
    worker_->ReadStatus();
    worker_->StartScan(1000);
    sink_.WaitUntil([] { return false; }, 300);
    EXPECT_TRUE(sink_.events().empty()) << "the scan's own EvScanFinished and later tasks are dropped";
}

TEST_F(WorkerTest, WorkerRestartsAfterStop) {
    world_->AddDevice(Printer());
    Start();
    worker_->StopWorker();
    worker_->StartWorker(sink_.window(), WM_BLE_EVENT);
    worker_->StartScan(1000);
    ASSERT_TRUE(sink_.WaitForCount(EvScanFinished, 1, 3000));
    EXPECT_EQ(sink_.Count(EvDeviceFound), 1);
}

// --- the Windows Runtime transport where the runtime has no Bluetooth -------

TEST(WinRtTransportHere, NoBluetoothClassesMeansNoAdapter) {
    auto transport = MakeWinRtTransport();
    EXPECT_FALSE(transport->HasLowEnergyAdapter());
    try {
        transport->DeviceFromAddress(kPrinter, 0, false);
        ADD_FAILURE() << "a device without the runtime's Bluetooth classes";
    } catch (const BleTransportError& error) {
        EXPECT_TRUE(error.noAdapter);
        EXPECT_NE(error.text.find(L"0x80040154"), std::wstring::npos) << std::string(error.text.begin(), error.text.end());
    }
}

TEST(WinRtTransportHere, WorkerReportsNoAdapterAndStaysUsable) {
    BleEventSink sink;
    BleWorker worker([] { return MakeWinRtTransport(); });
    worker.StartWorker(sink.window(), WM_BLE_EVENT);
    worker.StartScan(1000);
    ASSERT_TRUE(sink.WaitForCount(EvScanFinished, 1, 10000));
    ASSERT_EQ(sink.events().size(), 2u);
    EXPECT_EQ(sink.events()[0].errorCode, ErrNoAdapter);
    worker.ConnectDevice(kPrinter, 0);
    ASSERT_TRUE(sink.WaitForCount(EvFailed, 2, 10000));
    EXPECT_EQ(sink.Last(EvFailed).errorCode, ErrNoAdapter);
    worker.ReadStatus();
    ASSERT_TRUE(sink.WaitForCount(EvFailed, 3, 10000));
    EXPECT_EQ(sink.Last(EvFailed).errorCode, ErrNoSetupService);
    worker.StopWorker();
}

}  // namespace
}  // namespace qs
