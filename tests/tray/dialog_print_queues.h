// The in-memory print system the dialog tests' core uses, kept out of the
// test's own file: the printer status bits and the device list's pill states
// share names that one translation unit cannot hold together.
#pragma once
#include <memory>
#include <string>

namespace qs {

class FakePrintSystem;
class PrintSystem;

namespace test {

// Two queues: "收银台" on USB001 with bidirectional support on (a bind
// repairs everything), and "Office Laser" on LPT1: out of paper (a bind
// leaves that issue open).
class DialogPrintQueues {
public:
    DialogPrintQueues();
    ~DialogPrintQueues();
    DialogPrintQueues(const DialogPrintQueues&) = delete;
    DialogPrintQueues& operator=(const DialogPrintQueues&) = delete;

    PrintSystem* system();
    // The queue's port, "<no queue>" when it does not exist.
    std::wstring PortOf(const std::wstring& queue);

private:
    std::unique_ptr<FakePrintSystem> fake_;
};

}  // namespace test
}  // namespace qs
