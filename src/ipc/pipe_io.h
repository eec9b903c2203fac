// Whole-message reads and writes on message-mode pipes, shared by the pipe
// client and the server. A message arrives in pieces (ERROR_MORE_DATA), so
// any length up to a cap is read without allocating the cap up front.
#pragma once
#include <windows.h>
#include <atomic>
#include <cstddef>
#include <string>

namespace qs::pipe_io {

// How to complete I/O on an overlapped handle: the event to wait on, and a
// flag that, once set, makes a wait that has seen no progress for a second
// cancel the I/O. Synchronous handles pass no PipeWait at all. The event is
// manual-reset; every read, write or connect resets it as it begins.
// A deadline (a GetTickCount64 value, 0 for none) cancels the I/O when it
// passes, so a peer that never writes or never reads cannot hold a wait.
struct PipeWait {
    HANDLE event = nullptr;
    const std::atomic<bool>* stop = nullptr;
    ULONGLONG deadline = 0;
};

enum class ReadStatus { kOk, kEmpty, kTooLong, kFailed };

// Reads one message into *out (cleared unless kOk). A message longer than
// cap is refused as soon as more than cap bytes have been read.
ReadStatus ReadMessage(HANDLE pipe, size_t cap, std::string* out,
                       const PipeWait* wait = nullptr);

// Writes the bytes as one message; true when all of them were written.
bool WriteMessage(HANDLE pipe, const std::string& bytes,
                  const PipeWait* wait = nullptr);

// Waits for overlapped I/O started with ov (whose hEvent is wait.event) and
// fetches its result like GetOverlappedResult. After a cancel the I/O has
// ended before this returns, so ov may go out of scope.
bool AwaitOverlapped(HANDLE pipe, OVERLAPPED* ov, DWORD* transferred,
                     const PipeWait& wait);

}  // namespace qs::pipe_io
