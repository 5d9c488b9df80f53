#include "tunnel/diagnosis.h"

#include <gtest/gtest.h>

#include "common/file_io.h"
#include "common/process_path.h"
#include "support/temp_folder.h"

namespace vlvpn {
namespace {

namespace fs = std::filesystem;

const std::string kAuth = "Authentication failed - check your username and password.";
const std::string kResolve = "Could not resolve the VPN server address. Check your internet connection.";
const std::string kUnreachable = "Could not reach the VPN server. It may be offline or blocked.";
const std::string kNoResponse =
    "No response from the VPN server. Check the server address, protocol (UDP/TCP) and port.";
const std::string kTls = "Secure handshake with the VPN server failed (TLS error).";
const std::string kAdapter =
    "VPN network adapter (TAP) is disabled or in use.\n\n1. Open Device Manager \xE2\x86\x92 Network "
    "adapters\n"
    "2. Find \"TAP-Windows Adapter V9\" (or similar)\n3. Right-click \xE2\x86\x92 Enable\n"
    "4. Quit any other VPN apps, then reconnect\n\nIf it is missing, reinstall Velunor VPN to restore the "
    "TAP driver.";

std::string Diagnose(const std::string& log) {
  testing::TempFolder temp;
  WriteFileAtomically(temp.path() / "openvpn.log", log);
  return DiagnoseLog(temp.path() / "openvpn.log");
}

TEST(DiagnosisRules, EachRuleGivesItsText) {
  const std::pair<std::string, std::string> cases[] = {
      {"AUTH: Received control message: AUTH_FAILED", kAuth},
      {"x Authentication Failed for user", kAuth},
      {"There are no TAP-Windows adapters on this system", kAdapter},
      {"TAP-Windows adapter 'x' is currently in use", kAdapter},
      {"CreateFile failed on TAP-WINDOWS6 device", kAdapter},
      {"All tap-windows6 adapters are disabled", kAdapter},
      {"tap-windows: the system cannot find the file specified", kAdapter},
      {"Wintun requires SYSTEM privileges", kAdapter},
      {"RESOLVE: Cannot resolve host address: x:1194", kResolve},
      {"Could not determine IPv4/IPv6 protocol", kResolve},
      {"TCP: connect to 1.2.3.4:443 failed: Connection refused", kUnreachable},
      {"connect failed: Connection timed out", kUnreachable},
      {"sendto failed: No route to host", kUnreachable},
      {"write UDP: Network is unreachable (code=101)", kUnreachable},
      {"Server poll timeout, restarting", kNoResponse},
      {"All connections have been connect-retry-max (5) times unsuccessful, exiting", kNoResponse},
      {"TLS Error: TLS handshake failed", kTls},
      {"TLS key negotiation failed to occur within 60 seconds", kTls},
      {"Options error: Unrecognized option: Z\xC3\xBCrich",
       "VPN configuration error: Options error: Unrecognized option: Z\xC3\xBCrich"},
  };
  for (const auto& [line, result] : cases) {
    EXPECT_EQ(MatchDiagnosisRule(line), result) << line;
    EXPECT_EQ(Diagnose("2026-01-01 start\n" + line + "\r\nlater line\n"), result) << line;
  }
}

TEST(DiagnosisRules, AdapterRuleNeedsBothPartsAndLaterRulesStillApply) {
  EXPECT_EQ(MatchDiagnosisRule("TAP-Windows adapter opened"), std::nullopt);
  EXPECT_EQ(MatchDiagnosisRule("tap-windows: TLS Error: bad"), kTls);
  EXPECT_EQ(MatchDiagnosisRule("wintun opened"), std::nullopt);
}

TEST(Diagnosis, OldestMatchingLineWins) {
  EXPECT_EQ(Diagnose("OPTIONS ERROR: bad line\nTLS Error: TLS handshake failed\nAUTH_FAILED\n"),
            "VPN configuration error: OPTIONS ERROR: bad line");
  EXPECT_EQ(Diagnose("noise\nTLS Error: TLS handshake failed\nAUTH_FAILED\n"), kTls);
}

TEST(Diagnosis, WithoutARuleTheNewestErrorLineThenTheNewestLine) {
  const std::pair<std::string, std::string> cases[] = {
      {"first\nan ERROR happened\nFatal: disk\nlast line\n", "Fatal: disk"},
      {"an error happened\nExiting due to fatal error\n", "an error happened"},
      {"quiet\nEXITING DUE TO FATAL ERROR\n", "quiet"},
      {"EXITING DUE TO FATAL ERROR\n", "EXITING DUE TO FATAL ERROR"},
      // The cause is the line before, though it says neither "error" nor "fatal"; never
      // OpenVPN's timestamp.
      {"2026-12-07 13:39:17 Cannot load CA certificate file [[INLINE]] (no entries were read)\n"
       "2026-12-07 13:39:17 Exiting due to fatal error\n",
       "Cannot load CA certificate file [[INLINE]] (no entries were read)"},
      {"2026-12-07 13:39:17 an error happened\n2026-12-07 13:39:18 later\n", "an error happened"},
      {"2026-12-07 13:39:17 Options error: --dev is missing\n", "VPN configuration error: Options error: --dev is missing"},
      {"one\n\r\n\ntwo \xC3\xA9\r\n\r\n", "two \xC3\xA9"},
      {"only line without newline", "only line without newline"},
      {"", ""},
      {"\r\n\n\r\n", ""},
  };
  for (const auto& [log, result] : cases) EXPECT_EQ(Diagnose(log), result) << log;
}

TEST(Diagnosis, MissingLogIsEmpty) {
  testing::TempFolder temp;
  EXPECT_EQ(DiagnoseLog(temp.path() / "absent.log"), "");
}

TEST(Diagnosis, LinesAcrossChunkBoundariesAndOverlongLines) {
  std::string log(64 * 1024 - 10, 'a');
  log += "\nAUTH_FAILED crosses the chunk boundary\n";
  EXPECT_EQ(Diagnose(log), kAuth);

  std::string overlong = "fatal " + std::string(200 * 1024, 'z') + "\nlast\n";
  const std::string result = Diagnose(overlong);
  EXPECT_EQ(result.size(), LogDiagnosis::kMaxLine) << "an overlong line is judged and quoted by its start";
  EXPECT_EQ(result.substr(0, 6), "fatal ");
}

// Logs captured from the real OpenVPN 2.6 client (testing/openvpn/capture-logs.sh).
TEST(DiagnosisOfRealLogs, MatchesWhatTheUserShouldRead) {
  const fs::path logs = ExecutablePath().parent_path() / "fixtures" / "openvpn-logs";
  const std::pair<std::string, std::string> cases[] = {
      {"auth-failed.log", kAuth},
      {"tls-ca-mismatch.log", kTls},
      {"unresolvable-host.log", kResolve},
      {"tcp-refused.log", kUnreachable},
      {"options-error.log",
       "VPN configuration error: Options error: You must define CA file (--ca) or CA path (--capath) and/or "
       "peer "
       "fingerprint verification (--peer-fingerprint)"},
      {"success.log", "SIGTERM[hard,] received, process exiting"},
  };
  for (const auto& [file, result] : cases) {
    ASSERT_TRUE(fs::exists(logs / file)) << file;
    EXPECT_EQ(DiagnoseLog(logs / file), result) << file;
  }
}

}  // namespace
}  // namespace vlvpn
