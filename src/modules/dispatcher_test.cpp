#include "modules/dispatcher.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <limits>

#include "support/settlement.h"

namespace vlvpn {
namespace {

using testing::CallAndAwait;
using testing::Outcome;

TEST(NumberToInt32, ReadsNumbersSafely) {
  const std::pair<Value, std::int32_t> truncated[] = {
      {Value(5), 5},
      {Value(3.9), 3},
      {Value(-3.9), -3},
      {Value(2147483647), 2147483647},
      {Value(-2147483648LL), std::numeric_limits<std::int32_t>::min()},
      {Value(2147483647.9), 2147483647},
  };
  for (const auto& [given, expected] : truncated) EXPECT_EQ(NumberToInt32(given), expected) << given.dump();
  const double inf = std::numeric_limits<double>::infinity();
  for (const Value& zero :
       {Value(2147483648LL), Value(-2147483649LL), Value(2147483648.0), Value(inf), Value(-inf), Value(std::nan("")),
        Value(std::numeric_limits<std::uint64_t>::max()), Value("7"), Value(true), Value(nullptr)}) {
    EXPECT_EQ(NumberToInt32(zero), 0) << zero.dump();
  }
}

TEST(Args, MissingOrMismatchedArgumentsReadAsEmptyValues) {
  const std::vector<ArgKind> kinds = {ArgKind::kString, ArgKind::kBool, ArgKind::kInt, ArgKind::kStringList};
  for (const Value& raw :
       {Value::array(), Value(nullptr), Value("x"), Value::object(), Value::parse(R"([1, "yes", "3", "a"])")}) {
    const Args args = Args::Convert(raw, kinds);
    EXPECT_EQ(args.String(0), "") << raw.dump();
    EXPECT_FALSE(args.Bool(1)) << raw.dump();
    EXPECT_EQ(args.Int(2), 0) << raw.dump();
    EXPECT_TRUE(args.StringList(3).empty()) << raw.dump();
  }
  const Args given = Args::Convert(Value::parse(R"(["id", true, 42.7, ["a", 3, "c"]])"), kinds);
  EXPECT_EQ(given.String(0), "id");
  EXPECT_TRUE(given.Bool(1));
  EXPECT_EQ(given.Int(2), 42);
  EXPECT_EQ(given.StringList(3), (std::vector<std::string>{"a", "", "c"}));
}

Dispatcher TestDispatcher() {
  ModuleSpec m;
  m.name = "Mod";
  m.events = {"evt"};
  m.methods = {
      {"throws", {}, ResultKind::kVoid, OnCallingThread([](const Args&) -> std::optional<Value> {
         throw std::runtime_error("disk full");
       })},
      {"throwsOdd", {}, ResultKind::kVoid, [](const Args&, Promise) { throw 42; }},
      {"drops", {}, ResultKind::kVoid, [](const Args&, Promise) {}},
      {"later", {}, ResultKind::kBool, NotAvailableYet("later")},
  };
  ModuleSpec c;
  c.name = "Consts";
  c.constants = [] { return Value{{"k", 1}}; };
  return Dispatcher({m, c});
}

// Every failure becomes a rejection with its message.
TEST(Dispatcher, RejectsEveryFailureAndDescribesOnlyWhatEachModuleHas) {
  const Dispatcher d = TestDispatcher();
  const std::array<std::string, 3> rejections[] = {
      {"Nope", "throws", "Unknown module \"Nope\"."},
      {"Mod", "nope", "Unknown method \"nope\" of module \"Mod\"."},
      {"Mod", "throws", "disk full"},
      {"Mod", "throwsOdd", "Unexpected error."},
      {"Mod", "drops", "Promise destroyed."},
      {"Mod", "later", "later is not available yet."},
  };
  for (const auto& [module, method, message] : rejections) {
    const Outcome out = CallAndAwait(d, module, method, Value::array());
    EXPECT_FALSE(out.resolved) << method;
    EXPECT_EQ(out.error["code"], "EUNSPECIFIED");
    EXPECT_EQ(out.error["message"], message) << method;
  }

  EXPECT_EQ(
      DumpLine(d.Describe()),
      R"({"Mod":{"methods":["throws","throwsOdd","drops","later"],"events":["evt"]},"Consts":{"constants":{"k":1}}})");
}

}  // namespace
}  // namespace vlvpn
