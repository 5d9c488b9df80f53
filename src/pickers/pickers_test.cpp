#include "pickers/pickers.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "common/file_io.h"
#include "common/text.h"
#include "support/temp_folder.h"

namespace vlvpn {
namespace {

TEST(Pickers, AppChoiceFromThePath) {
  struct Case {
    const char* path;
    char separator;
    const char* bundle_id;
    const char* name;
  };
  const Case cases[] = {
      {R"(C:\Program Files\Tool\app.exe)", '\\', "app.exe", "app"},
      {R"(C:\x\archive.tar.gz)", '\\', "archive.tar.gz", "archive.tar"},
      {R"(C:\x\noext)", '\\', "noext", "noext"},
      {"plain.exe", '\\', "plain.exe", "plain"},
      {"/usr/bin/fire.fox", '/', "fire.fox", "fire"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(AppChoiceObject(c.path, c.separator),
              (Value{{"bundleId", c.bundle_id}, {"name", c.name}, {"path", c.path}, {"color", "#1d8fef"}}))
        << c.path;
  }
}

TEST(Pickers, ProfileChoiceStripsTheMarkOnlyAndCapsTheSize) {
  testing::TempFolder folder;
  const auto path = folder.path() / "home.ovpn";
  const std::string folder_text = PathToUtf8(folder.path());
  const char separator = PathToUtf8(path)[folder_text.size()];

  WriteFileAtomically(path, "\uFEFFclient\r\nremote a 1\r\n");
  EXPECT_EQ(
      OvpnChoiceObject(path, separator),
      (Value{{"fileName", "home.ovpn"}, {"content", "client\r\nremote a 1\r\n"}, {"sourceDirectory", folder_text}}));
  const std::string utf16("\xFF\xFEo\0k\0", 6);
  WriteFileAtomically(path, utf16);
  EXPECT_EQ(OvpnChoiceObject(path, separator)["content"], utf16) << "other encodings come back raw";
  EXPECT_EQ(OvpnChoiceObject(folder.path() / "missing.ovpn", separator)["content"], "");

  WriteFileAtomically(path, std::string(1025, 'x'));
  EXPECT_EQ(OvpnChoiceObject(path, separator, 1025)["content"].get<std::string>().size(), 1025u);
  EXPECT_THAT([&] { OvpnChoiceObject(path, separator, 1024); },
              ::testing::ThrowsMessage<std::runtime_error>(
                  ::testing::StrEq("The chosen file is larger than 1024 bytes and cannot be an OpenVPN profile.")));
}

}  // namespace
}  // namespace vlvpn
