// Runs a test against a fresh in-memory print system and reads the log
// lines written since the test began.
#pragma once
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "foundation/ids.h"
#include "foundation/logger.h"
#include "printers/fake_print_system.h"
#include "printers/print_system.h"

namespace qs::test {

class FakePrintersTest : public ::testing::Test {
protected:
    void SetUp() override {
        SetPrintSystem(&fake);
        mark_ = "test start " + NewId();
        LogInfo(mark_);
    }
    void TearDown() override {
        SetPrintSystem(nullptr);
        // Every spooler handle the code opened is closed, each exactly once.
        EXPECT_EQ(fake.OpenHandles(), 0u);
        EXPECT_EQ(fake.BadCloses(), 0);
    }

    std::vector<std::string> NewLogLines() const {
        std::vector<std::string> lines = Logger::Instance().RecentLines(0);
        std::vector<std::string> out;
        bool after = false;
        for (const auto& l : lines) {
            if (after) out.push_back(l);
            if (l.find(mark_) != std::string::npos) after = true;
        }
        return out;
    }
    bool Logged(const std::string& text) const {
        for (const auto& l : NewLogLines()) {
            if (l.find(text) != std::string::npos) return true;
        }
        return false;
    }
    std::string LogDump() const {
        std::string all;
        for (const auto& l : NewLogLines()) all += l;
        return all;
    }

    // A queue named Receipt on the given port, plus that port.
    FakePrintSystem::Queue& AddReceipt(const std::wstring& port = L"Quillnet39100",
                                       uint32_t attributes = 0, uint32_t status = 0) {
        if (!fake.FindPort(port)) fake.AddListedPort(port, L"127.0.0.1", 39100);
        FakePrintSystem::Queue q;
        q.name = L"Receipt";
        q.port = port;
        q.attributes = attributes;
        q.status = status;
        fake.AddQueue(q);
        return *fake.FindQueue(L"Receipt");
    }

    FakePrintSystem fake;

private:
    std::string mark_;
};

}  // namespace qs::test
