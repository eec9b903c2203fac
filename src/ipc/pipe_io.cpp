#include "ipc/pipe_io.h"

#include <algorithm>

namespace qs::pipe_io {
namespace {

constexpr size_t kFirstPiece = 16 * 1024;
constexpr size_t kLargestPiece = 4 * 1024 * 1024;
constexpr DWORD kWaitSliceMs = 1000;

// One ReadFile. *more is set when the message goes on past this piece.
bool ReadPiece(HANDLE pipe, char* buffer, DWORD length, DWORD* got, bool* more,
               const PipeWait* wait) {
    *got = 0;
    *more = false;
    if (!wait) {
        if (ReadFile(pipe, buffer, length, got, nullptr)) return true;
        if (GetLastError() != ERROR_MORE_DATA) return false;
        *more = true;
        return true;
    }
    OVERLAPPED ov{};
    ov.hEvent = wait->event;
    bool done;
    if (ReadFile(pipe, buffer, length, nullptr, &ov)) {
        done = GetOverlappedResult(pipe, &ov, got, FALSE) != FALSE;
    } else {
        DWORD err = GetLastError();
        if (err == ERROR_IO_PENDING) {
            done = AwaitOverlapped(pipe, &ov, got, *wait);
        } else if (err == ERROR_MORE_DATA) {
            done = GetOverlappedResult(pipe, &ov, got, FALSE) != FALSE;
        } else {
            return false;
        }
    }
    if (done) return true;
    if (GetLastError() != ERROR_MORE_DATA) return false;
    *more = true;
    return true;
}

}  // namespace

bool AwaitOverlapped(HANDLE pipe, OVERLAPPED* ov, DWORD* transferred,
                     const PipeWait& wait) {
    for (;;) {
        DWORD slice = kWaitSliceMs;
        if (wait.deadline != 0) {
            const ULONGLONG now = GetTickCount64();
            slice = now >= wait.deadline ? 0
                                         : static_cast<DWORD>(std::min<ULONGLONG>(slice, wait.deadline - now));
        }
        DWORD waited = WaitForSingleObject(wait.event, slice);
        if (waited == WAIT_OBJECT_0) break;
        const bool expired = wait.deadline != 0 && GetTickCount64() >= wait.deadline;
        if (waited == WAIT_TIMEOUT && !expired && !(wait.stop && wait.stop->load())) continue;
        // Stopping, out of time, or the wait itself failed: end the I/O and
        // wait until the system is done with ov. It may still have completed
        // meanwhile.
        CancelIo(pipe);
        return GetOverlappedResult(pipe, ov, transferred, TRUE) != FALSE;
    }
    return GetOverlappedResult(pipe, ov, transferred, FALSE) != FALSE;
}

ReadStatus ReadMessage(HANDLE pipe, size_t cap, std::string* out,
                       const PipeWait* wait) {
    out->clear();
    size_t piece = kFirstPiece;
    for (;;) {
        // Never ask for more than one byte past the cap: that byte is enough
        // to know the message is too long.
        size_t want = std::min(piece, cap + 1 - out->size());
        size_t before = out->size();
        out->resize(before + want);
        DWORD got = 0;
        bool more = false;
        if (!ReadPiece(pipe, out->data() + before, static_cast<DWORD>(want), &got,
                       &more, wait)) {
            out->clear();
            return ReadStatus::kFailed;
        }
        out->resize(before + got);
        if (out->size() > cap) {
            out->clear();
            return ReadStatus::kTooLong;
        }
        if (!more) return out->empty() ? ReadStatus::kEmpty : ReadStatus::kOk;
        piece = std::min(piece * 2, kLargestPiece);
    }
}

bool WriteMessage(HANDLE pipe, const std::string& bytes, const PipeWait* wait) {
    if (bytes.size() > MAXDWORD) return false;
    DWORD length = static_cast<DWORD>(bytes.size());
    DWORD written = 0;
    if (!wait) {
        return WriteFile(pipe, bytes.data(), length, &written, nullptr) &&
               written == length;
    }
    OVERLAPPED ov{};
    ov.hEvent = wait->event;
    bool done;
    if (WriteFile(pipe, bytes.data(), length, nullptr, &ov)) {
        done = GetOverlappedResult(pipe, &ov, &written, FALSE) != FALSE;
    } else if (GetLastError() == ERROR_IO_PENDING) {
        done = AwaitOverlapped(pipe, &ov, &written, *wait);
    } else {
        return false;
    }
    return done && written == length;
}

}  // namespace qs::pipe_io
