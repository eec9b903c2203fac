// What both ends of the core's pipe agree on: its name, the size limits and
// the fixed replies of the transport itself.
#pragma once
#include <cstddef>
#include <string>

namespace qs {

// The pipe the core serves. Tests pass a name of their own so that parallel
// processes never meet.
inline constexpr wchar_t kIpcPipeName[] = L"\\\\.\\pipe\\Quillstone_Ipc";

// Largest request the server reads and largest reply the client accepts.
// Both ends read messages of any length up to these in pieces.
inline constexpr size_t kIpcMaxRequestBytes = size_t{1} << 20;
inline constexpr size_t kIpcMaxReplyBytes = size_t{64} << 20;

// Error texts of the transport's own replies.
inline constexpr char kIpcNoHandler[] = "未处理";
inline constexpr char kIpcHandlerFailed[] = "处理异常";
inline constexpr char kIpcCoreNotRunning[] = "打印服务未运行或未安装";
inline constexpr char kIpcCannotConnect[] = "无法连接打印服务";
inline constexpr char kIpcNoReply[] = "服务无响应";
// The pipe is served by a process that is not the core: nothing is sent to it.
inline constexpr char kIpcUntrustedServer[] = "管道的服务方不是本机的打印服务，已拒绝连接";

// {"ok":false,"error":"<text>"}, printed compactly.
std::string IpcErrorReply(const std::string& text);

}  // namespace qs
