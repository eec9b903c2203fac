// What the main window does for one device: add, bind, check, test page and
// delete, each one request to the core followed by a message box; and the
// user's lines for the health issues that bind and repair send back.
#pragma once
#include <windows.h>
#include <cJSON.h>

#include <string>

#include "tray/device_rows.h"

namespace qs {

// Each returns true when the caller should refresh its device list now.
bool OnAddDevice(HWND owner);
bool OnBindDevice(HWND owner, const DeviceRow& row);
bool OnCheckDevice(HWND owner, const DeviceRow& row);
void OnTestDevice(HWND owner, const DeviceRow& row);
bool OnDeleteDevice(HWND owner, const DeviceRow& row);

// The confirmation text of a delete: the warning, a blank line, then the
// row's name, two blanks and the serial number in parentheses.
std::wstring DeleteConfirmText(const DeviceRow& row);

// One issue's line in the UI language; codes the table does not know (and
// the port codes without their argument) show the core's message.
std::wstring IssueText(const cJSON* issue);

// The outcome of bind (quiet: only unfixed issues are worth a box) and of
// repair (every issue, or the headline when there is none).
void ShowIssues(HWND parent, const std::wstring& caption, const std::wstring& headline,
                const cJSON* issues, bool quiet);

}  // namespace qs
