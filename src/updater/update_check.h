// What an update check decides, without a window or a thread: version
// comparison, the staged rollout, the development-run rule and the manifest.
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "cloud/http_client.h"

namespace qs {

// Path of the manifest below the update server's base URL.
inline constexpr char kManifestPath[] = "desktop/updates/quill-stone/win-x64/manifest.json";

enum UpdateResultKind : int32_t {
    kUpdateProgress = 0,
    kUpdateDevRun = 1,
    kUpdateFailed = 2,
    kUpdateUpToDate = 3,
    kUpdateAvailable = 4,
    kUpdateDownloaded = 5,
};

// Posted as lParam of WM_UPDATE_RESULT; whoever receives it deletes it.
struct UpdateResult {
    int32_t resultKind = kUpdateProgress;
    bool forced = false;
    std::string text;          // notice, failure text or release notes
    std::string version;       // running version (3) or offered version (4)
    std::string downloadUrl;   // manifest url, unchanged
    std::string sha256Hex;     // manifest sha256, lower-cased
    std::wstring installerPath;
};

// "v1.2.10" -> 1,2,10; "1.2-beta" -> 1,2; "x1" -> empty.
std::vector<int32_t> ParseVersion(const std::string& text);
// a later than b; an unparsable a is never newer; missing parts count as 0.
bool IsNewer(const std::string& a, const std::string& b);

// 32-bit FNV-1a (offset basis 0x811C9DC5, prime 16777619).
uint32_t Fnv1a32(const std::string& bytes);
// Whether a computer with this rollout identifier is offered an update
// published to percent of computers. An empty identifier is always in.
bool InRollout(const std::string& rolloutId, int32_t percent);

// Runs from a build tree ("\build\bin\" anywhere in the path, any case)
// never ask the update server.
bool IsDevelopmentRun(const std::wstring& exePath);

// "update.example" of "https://update.example:8443/x".
std::string HostOfUrl(const std::string& url);

struct UpdateManifest {
    std::string version, url, sha256, notes, minVersion;
    bool forced = false;
    int32_t rolloutPercent = 100;
};
// An empty body counts as {}; a body that is not a JSON object gives the
// defaults (no version), which the check reports as invalid.
UpdateManifest ParseManifest(const std::string& body);

// The outcome of one check: the record to post (null: post nothing) and the
// log line with its level (empty: log nothing).
struct CheckOutcome {
    std::unique_ptr<UpdateResult> result;
    int32_t logLevel = 1;
    std::string logLine;
};

struct CheckInput {
    bool interactive = false;
    std::string currentVersion;   // AppVersion as UTF-8
    std::string baseUrl;          // lower-case origin ending in "/"
    // Read only when the rollout needs it (the file is created on demand).
    std::function<std::string()> rolloutId;
};

// Steps 2 to 6 of a check, given the manifest response.
CheckOutcome DecideCheck(const HttpResponse& manifest, const CheckInput& input);

// Kind 2 text for a failed request: its error, or "HTTP <status>".
std::string RequestFailureText(const HttpResponse& response);

}  // namespace qs
