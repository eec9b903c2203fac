#include "tray/dialog_print_queues.h"

#include "printers/fake_print_system.h"

namespace qs::test {

DialogPrintQueues::DialogPrintQueues() : fake_(std::make_unique<FakePrintSystem>()) {
    FakePrintSystem::Queue till;
    till.name = L"收银台";
    till.port = L"USB001";
    till.attributes = kAttrEnableBidi;
    fake_->AddListedPort(L"USB001", L"");
    fake_->AddQueue(till);

    FakePrintSystem::Queue office;
    office.name = L"Office Laser";
    office.port = L"LPT1:";
    office.status = kStatusPaperOut;
    fake_->AddListedPort(L"LPT1:", L"");
    fake_->AddQueue(office);
}

DialogPrintQueues::~DialogPrintQueues() = default;

PrintSystem* DialogPrintQueues::system() { return fake_.get(); }

std::wstring DialogPrintQueues::PortOf(const std::wstring& queue) {
    FakePrintSystem::Queue* q = fake_->FindQueue(queue);
    return q ? q->port : L"<no queue>";
}

}  // namespace qs::test
