#include "tunnel/diagnosis.h"

#include <gmock/gmock.h>
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

// One line per rule's text (the real logs below give more of each); not every word the
// rules look for. Without a rule, the log's newest line.
TEST(DiagnosisRules, EachRuleGivesItsText) {
  const std::pair<std::string, std::optional<std::string>> cases[] = {
      {"x Authentication Failed for user", kAuth},
      {"TAP-Windows adapter 'x' is currently in use", kAdapter},
      {"Wintun requires SYSTEM privileges", kAdapter},
      {"Could not determine IPv4/IPv6 protocol", kResolve},
      {"connect failed: Connection timed out", kUnreachable},
      {"Server poll timeout, restarting", kNoResponse},
      {"TLS: Initial packet from x\nTLS key negotiation failed to occur within 60 seconds", kTls},
      {"Options error: Unrecognized option: Z\xC3\xBCrich",
       "VPN configuration error: Options error: Unrecognized option: Z\xC3\xBCrich"},
      // The adapter rule needs both parts, and later rules still apply.
      {"TAP-Windows adapter opened", std::nullopt},
      {"tap-windows: TLS Error: bad", kTls},
      {"wintun opened", std::nullopt},
  };
  for (const auto& [line, result] : cases) {
    EXPECT_EQ(MatchDiagnosisRule(line), result) << line;
    EXPECT_EQ(Diagnose("2026-01-01 start\n" + line + "\r\nlater line\n"), result.value_or("later line"))
        << line;
  }
}

// The oldest line a rule knows; without one, the newest error line, then the newest line.
TEST(Diagnosis, WhatTheLogSays) {
  const std::pair<std::string, std::string> cases[] = {
      {"OPTIONS ERROR: bad line\nTLS Error: TLS handshake failed\nAUTH_FAILED\n",
       "VPN configuration error: OPTIONS ERROR: bad line"},
      {"noise\nTLS Error: TLS handshake failed\nAUTH_FAILED\n", kTls},
      {"first\nan ERROR happened\nFatal: disk\nlast line\n", "Fatal: disk"},
      {"an error happened\nExiting due to fatal error\n", "an error happened"},
      {"quiet\nEXITING DUE TO FATAL ERROR\n", "quiet"},
      {"EXITING DUE TO FATAL ERROR\n", "EXITING DUE TO FATAL ERROR"},
      // The cause is the line before, though it says neither "error" nor "fatal"; never
      // OpenVPN's timestamp.
      {"2026-12-07 13:39:17 Cannot load the moon\n2026-12-07 13:39:17 Exiting due to fatal error\n",
       "Cannot load the moon"},
      {"2026-12-07 13:39:17 an error happened\n2026-12-07 13:39:18 later\n", "an error happened"},
      {"2026-12-07 13:39:17 Options error: --dev is missing\n",
       "VPN configuration error: Options error: --dev is missing"},
      {"one\n\r\n\ntwo \xC3\xA9\r\n\r\n", "two \xC3\xA9"},
      {"only line without newline", "only line without newline"},
      {"", ""},
      {"\r\n\n\r\n", ""},
  };
  for (const auto& [log, result] : cases) EXPECT_EQ(Diagnose(log), result) << log;
}

// A later try's lines alone: what the tunnel reads at each restart.
TEST(Diagnosis, FeedsFromWhereTheLastReadingEnded) {
  testing::TempFolder temp;
  const fs::path log = temp.path() / "openvpn.log";
  WriteFileAtomically(log, "AUTH_FAILED\nhalf a li");
  LogDiagnosis first;
  const std::uint64_t end = FeedLog(log, 0, first);
  EXPECT_EQ(end, 12u) << "a line still being written is read again next time";
  EXPECT_EQ(first.Result(), kAuth);
  WriteFileAtomically(log,
                      "AUTH_FAILED\nhalf a line\nVERIFY ERROR: depth=0, error=certificate has expired\n"
                      "TLS Error: TLS handshake failed\n");
  LogDiagnosis later;
  EXPECT_EQ(FeedLog(log, end, later), 109u);
  EXPECT_EQ(later.Result(), kTls + " The server's certificate has expired.");
  EXPECT_TRUE(later.Final());
  LogDiagnosis none;
  EXPECT_EQ(FeedLog(temp.path() / "absent.log", 5, none), 5u);
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

// Logs captured from the real OpenVPN 2.6 client (testing/openvpn/capture-logs.sh), and
// whether the failure is one no retry mends.
TEST(DiagnosisOfRealLogs, SaysWhatReallyFailed) {
  const fs::path logs = ExecutablePath().parent_path() / "fixtures" / "openvpn-logs";
  const std::string server_ca =
      kTls + " The server's certificate was not issued by the certificate authority (CA) in this profile.";
  const std::tuple<std::string, std::string, bool> cases[] = {
      {"auth-failed.log", kAuth, true},
      {"no-common-cipher.log",
       "The VPN server and this profile have no data cipher in common, so the server refused the connection. "
       "The profile's data-ciphers must include one the server accepts.",
       true},
      {"tls-ca-mismatch.log", server_ca, true},
      {"server-no-usage.log", kTls + " The server's certificate is not made for a VPN server.", true},
      {"client-cert-expired.log", kTls + " This profile's client certificate has expired.", true},
      {"client-cert-not-yet-valid.log",
       kTls + " This profile's client certificate is not valid yet: check this computer's date and time.",
       true},
      {"tls-crypt-mismatch.log",
       kTls + " The server never answered: check the server address and port, and that the profile's "
              "tls-auth or tls-crypt key is the server's.",
       false},
      {"compression-refused.log",
       "VPN configuration error: OPTIONS ERROR: server pushed compression settings that are not allowed and "
       "will result in a non-working connection. See also allow-compression in the manual.",
       true},
      {"unknown-directive.log", "", true},
      {"key-mismatch.log",
       "The client certificate and the private key in this profile do not belong together.", false},
      {"inline-ca-broken.log", "The CA certificate in this profile is missing or damaged.", false},
      {"tun-unavailable.log", "Could not open the VPN tunnel device: No such file or directory.", false},
      {"management-port-in-use.log",
       "Another program holds the port OpenVPN is controlled through (127.0.0.1:11950): quit other VPN "
       "apps and reconnect.",
       false},
      {"unresolvable-host.log", kResolve, false},
      {"tcp-refused.log", kUnreachable, false},
      {"options-error.log",
       "VPN configuration error: Options error: You must define CA file (--ca) or CA path (--capath) and/or "
       "peer fingerprint verification (--peer-fingerprint)",
       true},
      {"success.log", "SIGTERM[hard,] received, process exiting", false},
  };
  for (const auto& [file, result, final] : cases) {
    ASSERT_TRUE(fs::exists(logs / file)) << file;
    LogDiagnosis diagnosis;
    FeedLog(logs / file, 0, diagnosis);
    if (file == "unknown-directive.log") {
      // Named as OpenVPN names it, with the line in the profile.
      EXPECT_THAT(diagnosis.Result(),
                  ::testing::AllOf(
                      ::testing::StartsWith("VPN configuration error: Options error: Unrecognized option"),
                      ::testing::HasSubstr("unknown-directive.ovpn:9: frobnicate")));
    } else {
      EXPECT_EQ(diagnosis.Result(), result) << file;
    }
    EXPECT_EQ(diagnosis.Final(), final) << file;
  }
}

}  // namespace
}  // namespace vlvpn
