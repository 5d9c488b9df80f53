#include "device/device_facts.h"

#include <gtest/gtest.h>

namespace vlvpn {
namespace {

struct ModelCase {
  std::string product, maker, model;
};

TEST(DeviceModel, PlaceholdersAndCleaning) {
  const ModelCase cases[] = {
      {"Example Book 14", "Example Maker", "Example Book 14"},
      {"  Example Book 14\r\n", "", "Example Book 14"},
      {"Line\nBreak", "", "Line Break"},
      {"\tTabbed\t", "", "Tabbed"},
      {"to be filled by o.e.m.", "Example Maker", "Example Maker PC"},
      {"Default string", "Example Maker", "Example Maker PC"},
      {"SYSTEM PRODUCT NAME", "Example Maker", "Example Maker PC"},
      {"Product Name", "", "Windows PC"},
      {"Default string ", "Example Maker", "Default string"},
      {"  \n", "Example Maker", "Windows PC"},
      {"Product Name", "To be filled by O.E.M.", "Windows PC"},
      {"", "Example Maker\r\n", "Example Maker  PC"},
      {"", "", "Windows PC"},
      {"", " ", "PC"},
  };
  for (const auto& c : cases) {
    DeviceFacts facts;
    facts.product_name = c.product;
    facts.manufacturer = c.maker;
    EXPECT_EQ(DeviceModelFrom(facts), c.model) << "product '" << c.product << "' maker '" << c.maker << "'";
  }
}

struct OsCase {
  std::string display, major, minor, build, version;
};

TEST(OsVersion, DisplayVersionThenNumbersThenTen) {
  const OsCase cases[] = {
      {"23H2", "10", "0", "22631", "23H2"}, {"", "10", "0", "22631", "10.0.22631"}, {"", "10", "0", "", "10.0"},
      {"", "10", "", "22631", "10"},        {"", "", "0", "22631", "10"},           {"", "", "", "", "10"},
  };
  for (const auto& c : cases) {
    DeviceFacts facts;
    facts.display_version = c.display;
    facts.major = c.major;
    facts.minor = c.minor;
    facts.build = c.build;
    EXPECT_EQ(OsVersionFrom(facts), c.version);
  }
}

TEST(OsRelease, ReadsVersionIdUnquoted) {
  const std::pair<std::string, std::string> cases[] = {
      {"NAME=\"Debian GNU/Linux\"\nVERSION_ID=\"12\"\nID=debian\n", "12"},
      {"VERSION_ID=22.04", "22.04"},
      {"ID=arch\r\nVERSION_ID='3.19'\r\n", "3.19"},
      {"ID=rolling\n", ""},
      {"PRETTY_VERSION_ID=\"x\"\n", ""},
      {"", ""},
  };
  for (const auto& [text, id] : cases) EXPECT_EQ(OsReleaseVersionId(text), id) << text;
}

}  // namespace
}  // namespace vlvpn
